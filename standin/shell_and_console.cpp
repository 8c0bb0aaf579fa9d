// Strings, the message box, the console and the C runtime's file modes.
#include <cctype>
#include <cstring>

#include "standin/state.h"

using namespace standin;
using namespace standin::detail;

namespace {
// Stands for the process's standard output handle.
HANDLE const stdout_handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7000));
} // namespace

LPSTR StrStrIA(LPCSTR pszFirst, LPCSTR pszSrch) {
    if (!pszFirst || !pszSrch)
        return nullptr;
    const std::size_t n = strlen(pszSrch);
    for (LPCSTR at = pszFirst; *at; ++at) {
        std::size_t i = 0;
        while (i < n && at[i] &&
               tolower(static_cast<unsigned char>(at[i])) ==
                   tolower(static_cast<unsigned char>(pszSrch[i])))
            ++i;
        if (i == n)
            return const_cast<LPSTR>(at);
    }
    return n == 0 ? const_cast<LPSTR>(pszFirst) : nullptr;
}

LPSTR lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
    return strcat(lpString1, lpString2);
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    auto &w = world();
    w.r.message_boxes.push_back(
        {lpText ? lpText : "", lpCaption ? lpCaption : "", uType, hWnd != nullptr, w.r.now_us});
    return IDOK;
}

HANDLE GetStdHandle(DWORD nStdHandle) {
    return nStdHandle == STD_OUTPUT_HANDLE ? stdout_handle : INVALID_HANDLE_VALUE;
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    if (hConsoleHandle != stdout_handle || !world().s.stdout_is_console) {
        set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpMode = 3;
    return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    auto &w = world();
    w.console_handler = Add ? HandlerRoutine : nullptr;
    w.r.console_handler_installed = Add && HandlerRoutine;
    return TRUE;
}

int _fileno(FILE *stream) {
    return fileno(stream);
}

// Text and binary mode differ only on Windows; the previous mode was text.
int _setmode(int, int) {
    return _O_TEXT;
}
