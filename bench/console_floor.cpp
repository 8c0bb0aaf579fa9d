// What one console write costs on this platform, with nothing else around
// it: writes a value and its blank, the way the program prints one, in a
// loop, straight through WriteConsoleA, and prints the mean time per write.
// It is the floor under the program's console throughput, which has to make
// one write per value.
#include <cstdio>

#include <windows.h>

int main() {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    const int writes = 5000;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < writes; ++i) {
        char text[8];
        const int length = snprintf(text, sizeof text, "%d ", i % 251);
        DWORD written = 0;
        WriteConsoleA(console, text, static_cast<DWORD>(length), &written, nullptr);
    }
    QueryPerformanceCounter(&end);
    const double us = static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 /
                      static_cast<double>(frequency.QuadPart) / writes;
    char line[64];
    const int length = snprintf(line, sizeof line, "\nfloor: %.1f us per write\n", us);
    DWORD written = 0;
    WriteConsoleA(console, line, static_cast<DWORD>(length), &written, nullptr);
    return 0;
}
