#include "Registration.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "QUVO.h"

namespace quvo::sim {
namespace {

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring ClassKey() {
    return L"Software\\Classes\\CLSID\\" + GuidText(CLSID_Softphone);
}

int Fail(const char* what, long status) {
    std::fprintf(stderr, "quvo-softphone-sim: %s (0x%08lX)\n", what, static_cast<unsigned long>(status));
    return 1;
}

bool SetDefault(HKEY parent, const std::wstring& subkey, const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(parent, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const LONG status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// COM is needed for the type library calls only.
struct ComScope {
    ComScope() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComScope() { CoUninitialize(); }
};

}  // namespace

int RegisterServer() {
    ComScope com;
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);

    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(exe, REGKIND_NONE, &library);
    if (FAILED(hr)) return Fail("cannot load the type library embedded in this program", hr);
    hr = RegisterTypeLib(library, exe, nullptr);
    library->Release();
    if (FAILED(hr)) return Fail("cannot register the type library", hr);

    const std::wstring key = ClassKey();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (key + L"\\LocalServer32").c_str());  // from an older registration
    if (!SetDefault(HKEY_LOCAL_MACHINE, key, L"QUVO Softphone") ||
        !SetDefault(HKEY_LOCAL_MACHINE, key + L"\\TypeLib", GuidText(LIBID_QUVOLib)) ||
        !SetDefault(HKEY_LOCAL_MACHINE, key + L"\\Version", L"1.0"))
        return Fail("cannot write the class key under HKLM\\Software\\Classes",
                    static_cast<long>(GetLastError()));
    return 0;
}

int UnregisterServer() {
    ComScope com;
    const HRESULT hr = UnRegisterTypeLib(LIBID_QUVOLib, 1, 0, LOCALE_NEUTRAL, SYS_WIN64);
    const LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey().c_str());
    // Removing what is not there is no failure.
    if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_CANTLOADLIBRARY &&
        hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        return Fail("cannot remove the type library's registration", hr);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return Fail("cannot remove the class key", status);
    return 0;
}

}  // namespace quvo::sim
