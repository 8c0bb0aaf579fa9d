#include "run/program_run.h"

// Command-line arguments are ignored: there is nothing to configure.
int main() {
    return run_program();
}
