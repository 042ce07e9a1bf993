// The server's module: its lock, the class factories and
// the four exports (wic/codec.h).
#include "wic/codec.h"

namespace {

// Live objects and outstanding LockServer(TRUE) calls: the module's one state.
LONG moduleLocks = 0;

// One class the server makes, and its factory. The factories are static:
// they allocate nothing, and a reference to one holds the module's lock.
struct ServerClass {
    const CLSID *clsid;
    HRESULT (*Create)(REFIID iid, void **object);
};

class ClassFactory final : public IClassFactory {
public:
    explicit constexpr ClassFactory(const ServerClass &made) : made_(made) {}

    const CLSID &Clsid() const { return *made_.clsid; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        LockModule();
        return 2; // static: never freed
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        UnlockModule();
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        return made_.Create(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            LockModule();
        else
            UnlockModule();
        return S_OK;
    }

private:
    const ServerClass &made_;
};

constexpr ServerClass DecoderClass = {&CLSID_ZqvDecoder, CreateZqvDecoder};
constexpr ServerClass ThumbnailProviderClass = {&CLSID_ZqvThumbnailProvider, CreateZqvThumbnailProvider};
ClassFactory factories[] = {ClassFactory(DecoderClass), ClassFactory(ThumbnailProviderClass)};

} // namespace

void LockModule() { InterlockedIncrement(&moduleLocks); }

void UnlockModule() { InterlockedDecrement(&moduleLocks); }

// Nothing to set up or tear down. The server has an entry of its own so
// that the link takes none of the plug-in's from the decoder's archive.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void **object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    for (ClassFactory &factory : factories)
        if (factory.Clsid() == clsid)
            return factory.QueryInterface(iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return InterlockedCompareExchange(&moduleLocks, 0, 0) == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return RegisterServer(); }

STDAPI DllUnregisterServer() { return UnregisterServer(); }
