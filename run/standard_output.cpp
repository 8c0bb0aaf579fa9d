#include "run/standard_output.h"

#include <cstdio>

#include "platform/win32.h"

namespace {

char block[4096];

// Runs when the console is told to stop the program (Ctrl+C, Ctrl+Break,
// closing the window). The default handling that follows ends the process,
// and need not flush the C library's buffers on its way: values already
// printed to a file or a pipe would be lost.
BOOL WINAPI flush_on_stop(DWORD) {
    fflush(stdout);
    return FALSE;
}

bool stdout_is_console(void) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

} // namespace

void prepare_standard_output(void) {
    if (stdout_is_console()) {
        setvbuf(stdout, nullptr, _IONBF, 0);
        // In text mode the C library asks the console about its handle before
        // every write, which doubles the cost of a print where a console write
        // is slow (Wine). A console starts a new line at "\n" on its own.
        _setmode(_fileno(stdout), _O_BINARY);
    } else {
        setvbuf(stdout, block, _IOFBF, sizeof block);
    }
    SetConsoleCtrlHandler(flush_on_stop, TRUE);
}
