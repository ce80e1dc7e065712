// trust_test_ca.exe [--remove] <authority.pem>: trusts (or stops trusting)
// a test authority in this Wine prefix's machine Root store. Exit code 0 on
// success, 1 on failure, 2 for a bad command line.
#include "TestAuthority.h"

#include <cstring>

int main(int argc, char** argv) {
    const bool remove = argc == 3 && std::strcmp(argv[1], "--remove") == 0;
    if (argc != 2 && !remove) return 2;
    return testing_support::TrustAuthority(argv[argc - 1], remove) ? 0 : 1;
}
