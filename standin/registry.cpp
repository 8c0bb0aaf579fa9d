// The one registry key the program reads: the system's list of serial ports.
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "standin/state.h"

using namespace standin;
using namespace standin::detail;

namespace {

const REGSAM write_rights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// A buffer that was too small holds no promise; fill it with junk so that a
// caller that uses it anyway shows up.
void scribble(void *buffer, DWORD size) {
    memset(buffer, '#', size);
}

} // namespace

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult) {
    note_call();
    auto &w = world();
    w.r.requested_access.push_back(samDesired);
    if (hKey != HKEY_LOCAL_MACHINE || !lpSubKey ||
        strcasecmp(lpSubKey, "HARDWARE\\DEVICEMAP\\SERIALCOMM") != 0)
        return ERROR_FILE_NOT_FOUND;
    if (ulOptions != 0 || !phkResult)
        return ERROR_INVALID_PARAMETER;
    if (w.s.registry.open_result != ERROR_SUCCESS)
        return w.s.registry.open_result;
    if (!w.s.registry.caller_elevated && (samDesired & write_rights) != 0)
        return ERROR_ACCESS_DENIED;
    *phkResult = reinterpret_cast<HKEY>(make_handle(kind::key));
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    note_call();
    auto &w = world();
    ++w.r.enumerations;
    if (!entry(reinterpret_cast<HANDLE>(hKey), kind::key)) {
        violation("enumeration of a key that is not open");
        return ERROR_INVALID_HANDLE;
    }
    if (lpReserved || !lpValueName || !lpcchValueName || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    const auto &values = w.s.registry.values;
    if (dwIndex >= values.size())
        return ERROR_NO_MORE_ITEMS;
    const registry_value &v = values[dwIndex];
    const bool name_fits = v.name.size() + 1 <= *lpcchValueName;
    const bool data_fits = !lpData || v.data.size() <= *lpcbData;
    if (!name_fits || !data_fits) {
        scribble(lpValueName, *lpcchValueName);
        if (lpData)
            scribble(lpData, *lpcbData);
        if (lpcbData)
            *lpcbData = static_cast<DWORD>(v.data.size());
        return ERROR_MORE_DATA;
    }
    memcpy(lpValueName, v.name.data(), v.name.size());
    lpValueName[v.name.size()] = '\0';
    *lpcchValueName = static_cast<DWORD>(v.name.size());
    if (lpType)
        *lpType = 1; // REG_SZ
    if (lpData)
        memcpy(lpData, v.data.data(), v.data.size());
    if (lpcbData)
        *lpcbData = static_cast<DWORD>(v.data.size());
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
    auto &w = world();
    ++w.r.key_closes;
    handle_entry *e = entry(reinterpret_cast<HANDLE>(hKey), kind::key);
    if (!e) {
        violation("close of a key that is not open");
        return ERROR_INVALID_HANDLE;
    }
    e->open = false;
    return ERROR_SUCCESS;
}
