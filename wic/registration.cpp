// Registering and unregistering the server (wic/codec.h).
#include "wic/codec.h"

#include <cwchar>
#include <initializer_list>

namespace {

// The registry view of the DLL's own kind, and the other one.
#ifdef _WIN64
constexpr REGSAM OwnView = KEY_WOW64_64KEY;
constexpr REGSAM OtherView = KEY_WOW64_32KEY;
#else
constexpr REGSAM OwnView = KEY_WOW64_32KEY;
constexpr REGSAM OtherView = KEY_WOW64_64KEY;
#endif

constexpr const wchar_t *DecoderName = L"ZQV Decoder";
constexpr const wchar_t *ProviderName = L"ZQV Thumbnail Provider";
constexpr const wchar_t *Author = L"The ifyzqv developers";
constexpr const wchar_t *Version = L"" ZQV_FILE_VERSION;
constexpr const wchar_t *SpecVersion = L"1.0.0.0";
constexpr const wchar_t *PerceivedImage = L"image";

constexpr size_t GuidChars = 39; // braces and the terminating zero included
constexpr size_t KeyChars = 256; // the longest key name the registry takes is 255
constexpr size_t ModuleChars = 1024;
constexpr size_t ValueChars = 64; // more than any text value compared on removal

struct GuidText {
    wchar_t chars[GuidChars];
};

GuidText TextOf(const GUID &guid)
{
    GuidText text{};
    StringFromGUID2(guid, text.chars, GuidChars);
    return text;
}

// A key's path, from HKEY_LOCAL_MACHINE, below SOFTWARE\Classes. A path too
// long for the registry is empty, which no key has.
struct KeyPath {
    wchar_t chars[KeyChars];
};

KeyPath ClassesPath(std::initializer_list<const wchar_t *> parts)
{
    KeyPath path{};
    size_t length = 0;
    auto append = [&](const wchar_t *text) {
        size_t count = wcslen(text);
        if (length + count >= KeyChars) {
            length = KeyChars; // no room: the whole path is refused
            return;
        }
        wmemcpy(path.chars + length, text, count);
        length += count;
    };
    append(L"SOFTWARE\\Classes");
    for (const wchar_t *part : parts) {
        append(L"\\");
        append(part);
    }
    if (length >= KeyChars)
        path.chars[0] = L'\0';
    return path;
}

// ---------------------------------------------------------------------------
// Writing: the first failure stops the rest.

struct RegistryWriter {
    LONG failure = ERROR_SUCCESS;
};

void SetValue(RegistryWriter &writer, const KeyPath &key, const wchar_t *name, DWORD type, const void *data,
              DWORD bytes)
{
    if (writer.failure != ERROR_SUCCESS)
        return;
    if (key.chars[0] == L'\0') {
        writer.failure = ERROR_FILENAME_EXCED_RANGE;
        return;
    }
    HKEY handle = nullptr;
    writer.failure = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.chars, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE | OwnView, nullptr, &handle, nullptr);
    if (writer.failure != ERROR_SUCCESS)
        return;
    if (data != nullptr)
        writer.failure = RegSetValueExW(handle, name, 0, type, static_cast<const BYTE *>(data), bytes);
    RegCloseKey(handle);
}

void SetText(RegistryWriter &writer, const KeyPath &key, const wchar_t *name, const wchar_t *text)
{
    SetValue(writer, key, name, REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

void SetNumber(RegistryWriter &writer, const KeyPath &key, const wchar_t *name, DWORD number)
{
    SetValue(writer, key, name, REG_DWORD, &number, sizeof number);
}

void SetBytes(RegistryWriter &writer, const KeyPath &key, const wchar_t *name, const BYTE *bytes, DWORD count)
{
    SetValue(writer, key, name, REG_BINARY, bytes, count);
}

// A key that says what it says by its name alone.
void CreateKey(RegistryWriter &writer, const KeyPath &key) { SetValue(writer, key, nullptr, REG_NONE, nullptr, 0); }

// ---------------------------------------------------------------------------
// What registration writes.

// The keys that are the server's alone, removed whole.
struct OwnKeys {
    KeyPath decoder, provider, instance;
};

OwnKeys OwnKeyPaths()
{
    GuidText decoder = TextOf(CLSID_ZqvDecoder);
    return {ClassesPath({L"CLSID", decoder.chars}),
            ClassesPath({L"CLSID", TextOf(CLSID_ZqvThumbnailProvider).chars}),
            ClassesPath({L"CLSID", TextOf(CATID_WICBitmapDecoders).chars, L"Instance", decoder.chars})};
}

// The values the server writes into keys others may share (the file
// type's), each with the text it writes; the keys it may have made, deepest
// first.
struct SharedValue {
    const KeyPath *key;
    const wchar_t *name;
    const wchar_t *text;
};

template <typename Visit> void ForEachSharedValue(Visit visit)
{
    GuidText provider = TextOf(CLSID_ZqvThumbnailProvider);
    KeyPath extension = ClassesPath({ZqvExtension});
    KeyPath shellEx = ClassesPath({ZqvExtension, L"ShellEx"});
    KeyPath thumbnailHandler = ClassesPath({ZqvExtension, L"ShellEx", TextOf(__uuidof(IThumbnailProvider)).chars});
    const SharedValue values[] = {
        {&extension, L"Content Type", ZqvMimeType},
        {&extension, L"PerceivedType", PerceivedImage},
        {&thumbnailHandler, nullptr, provider.chars},
    };
    const KeyPath *keys[] = {&thumbnailHandler, &shellEx, &extension};
    visit(values, keys);
}

void WriteServer(RegistryWriter &writer, const GUID &clsid, const wchar_t *modulePath, const wchar_t *threadingModel)
{
    KeyPath server = ClassesPath({L"CLSID", TextOf(clsid).chars, L"InprocServer32"});
    SetText(writer, server, nullptr, modulePath);
    SetText(writer, server, L"ThreadingModel", threadingModel);
}

// One pattern for every two-byte start a container can have.
void WritePatterns(RegistryWriter &writer, const wchar_t *decoder)
{
    const BYTE mask[ContainerStartBytes] = {0xFF, 0xFF};
    unsigned index = 0;
    for (unsigned first = 0; first < 256; ++first)
        for (unsigned second = 0; second < 256; ++second) {
            if (!IsContainerStart(static_cast<uint8_t>(first), static_cast<uint8_t>(second)))
                continue;
            wchar_t number[12];
            _ultow(index++, number, 10);
            KeyPath pattern = ClassesPath({L"CLSID", decoder, L"Patterns", number});
            const BYTE start[ContainerStartBytes] = {static_cast<BYTE>(first), static_cast<BYTE>(second)};
            SetNumber(writer, pattern, L"Position", 0);
            SetNumber(writer, pattern, L"Length", ContainerStartBytes);
            SetBytes(writer, pattern, L"Pattern", start, ContainerStartBytes);
            SetBytes(writer, pattern, L"Mask", mask, ContainerStartBytes);
            SetNumber(writer, pattern, L"EndOfStream", 0);
        }
}

void WriteDecoder(RegistryWriter &writer, const OwnKeys &own, const wchar_t *modulePath)
{
    GuidText decoder = TextOf(CLSID_ZqvDecoder);
    const KeyPath &key = own.decoder;
    SetText(writer, key, nullptr, DecoderName);
    SetText(writer, key, L"FriendlyName", DecoderName);
    SetText(writer, key, L"Author", Author);
    SetText(writer, key, L"Vendor", TextOf(GUID_VendorZqv).chars);
    SetText(writer, key, L"ContainerFormat", TextOf(GUID_ContainerFormatZqv).chars);
    SetText(writer, key, L"Version", Version);
    SetText(writer, key, L"SpecVersion", SpecVersion);
    SetText(writer, key, L"MimeTypes", ZqvMimeType);
    SetText(writer, key, L"FileExtensions", ZqvExtension);
    SetNumber(writer, key, L"SupportAnimation", 0);
    SetNumber(writer, key, L"SupportChromakey", 0);
    SetNumber(writer, key, L"SupportLossless", 1);
    SetNumber(writer, key, L"SupportMultiframe", 0);
    WriteServer(writer, CLSID_ZqvDecoder, modulePath, L"Both");
    for (const GUID *format : ZqvPixelFormats)
        CreateKey(writer, ClassesPath({L"CLSID", decoder.chars, L"Formats", TextOf(*format).chars}));
    WritePatterns(writer, decoder.chars);
    SetText(writer, own.instance, L"CLSID", decoder.chars);
    SetText(writer, own.instance, L"FriendlyName", DecoderName);
}

void WriteProvider(RegistryWriter &writer, const OwnKeys &own, const wchar_t *modulePath)
{
    SetText(writer, own.provider, nullptr, ProviderName);
    // Explorer calls a thumbnail provider from a single-threaded apartment.
    WriteServer(writer, CLSID_ZqvThumbnailProvider, modulePath, L"Apartment");
    ForEachSharedValue([&](const SharedValue (&values)[3], const KeyPath *(&)[3]) {
        for (const SharedValue &value : values)
            SetText(writer, *value.key, value.name, value.text);
    });
}

// This DLL's full path; false when it cannot be had.
bool ModulePath(wchar_t (&path)[ModuleChars])
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModulePath), &module))
        return false;
    DWORD length = GetModuleFileNameW(module, path, ModuleChars);
    return length > 0 && length < ModuleChars;
}

// ---------------------------------------------------------------------------
// Removing.

bool IsMissing(LONG result) { return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND; }

// Opens a key of the own view and runs work on it: work's result, where a
// key or value that is not there counts as removed already.
template <typename Work> LONG WithKey(const KeyPath &key, REGSAM access, Work work)
{
    HKEY handle = nullptr;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.chars, 0, access | OwnView, &handle);
    if (result == ERROR_SUCCESS) {
        result = work(handle);
        RegCloseKey(handle);
    }
    return IsMissing(result) ? ERROR_SUCCESS : result;
}

LONG DeleteKey(const KeyPath &key)
{
    LONG result = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.chars, OwnView, 0);
    return IsMissing(result) ? ERROR_SUCCESS : result;
}

// Removes a key with everything in it.
LONG DeleteTree(const KeyPath &key)
{
    LONG result = WithKey(key, KEY_ALL_ACCESS, [](HKEY handle) { return RegDeleteTreeW(handle, nullptr); });
    return result == ERROR_SUCCESS ? DeleteKey(key) : result;
}

// Removes a text value when it still holds what registration wrote.
LONG RemoveTextIfOurs(const SharedValue &value)
{
    return WithKey(*value.key, KEY_QUERY_VALUE | KEY_SET_VALUE, [&](HKEY handle) {
        wchar_t held[ValueChars] = {};
        DWORD type = REG_NONE, bytes = sizeof held - sizeof(wchar_t);
        LONG result = RegQueryValueExW(handle, value.name, nullptr, &type, reinterpret_cast<BYTE *>(held), &bytes);
        if (result == ERROR_SUCCESS && type == REG_SZ && _wcsicmp(held, value.text) == 0)
            return RegDeleteValueW(handle, value.name);
        return result == ERROR_MORE_DATA ? ERROR_SUCCESS : result; // another's value: kept
    });
}

// Removes a key that holds nothing any more.
LONG RemoveKeyIfEmpty(const KeyPath &key)
{
    DWORD subkeys = 1, values = 1;
    LONG result = WithKey(key, KEY_QUERY_VALUE, [&](HKEY handle) {
        return RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                nullptr, nullptr, nullptr);
    });
    return result == ERROR_SUCCESS && subkeys == 0 && values == 0 ? DeleteKey(key) : result;
}

// Whether the other registry view still registers the thumbnail provider:
// Windows shares the file type's keys between the views.
bool OtherViewRegistersProvider()
{
    KeyPath server = ClassesPath({L"CLSID", TextOf(CLSID_ZqvThumbnailProvider).chars, L"InprocServer32"});
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, server.chars, 0, KEY_QUERY_VALUE | OtherView, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

LONG FirstFailure(LONG sofar, LONG next) { return sofar != ERROR_SUCCESS ? sofar : next; }

} // namespace

HRESULT RegisterServer()
{
    wchar_t modulePath[ModuleChars];
    if (!ModulePath(modulePath))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    OwnKeys own = OwnKeyPaths();
    RegistryWriter writer;
    WriteDecoder(writer, own, modulePath);
    WriteProvider(writer, own, modulePath);
    if (writer.failure == ERROR_SUCCESS)
        return S_OK;
    UnregisterServer(); // nothing half-written stays
    return HRESULT_FROM_WIN32(writer.failure);
}

HRESULT UnregisterServer()
{
    OwnKeys own = OwnKeyPaths();
    LONG result = ERROR_SUCCESS;
    for (const KeyPath *key : {&own.decoder, &own.provider, &own.instance})
        result = FirstFailure(result, DeleteTree(*key));
    if (!OtherViewRegistersProvider())
        ForEachSharedValue([&](const SharedValue (&values)[3], const KeyPath *(&keys)[3]) {
            for (const SharedValue &value : values)
                result = FirstFailure(result, RemoveTextIfOurs(value));
            for (const KeyPath *key : keys)
                result = FirstFailure(result, RemoveKeyIfEmpty(*key));
        });
    return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}
