// Workers of the win32 build: plain system threads.
#include "platform/platform.h"

namespace {

DWORD WINAPI RunWorker(void *worker)
{
    auto *started = static_cast<Worker *>(worker);
    started->body(started->context);
    return 0;
}

} // namespace

bool StartWorker(Worker *worker, WorkerBody body, void *context)
{
    worker->body = body;
    worker->context = context;
    worker->thread = CreateThread(nullptr, 0, RunWorker, worker, 0, nullptr);
    return worker->thread != nullptr;
}

void JoinWorker(Worker *worker)
{
    WaitForSingleObject(worker->thread, INFINITE);
    CloseHandle(worker->thread);
    worker->thread = nullptr;
}

void PauseWorker() { Sleep(1); }
