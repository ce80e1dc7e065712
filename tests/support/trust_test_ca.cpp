// trust_test_ca.exe [--remove] <authority.pem>: trusts (or stops trusting) a
// test authority in this Wine prefix's machine Root store. Exit code 0 done,
// 1 failed, 2 bad command line.
#include <cstring>

#include "TestAuthority.h"

int main(int argc, char** argv) {
    const bool remove = argc == 3 && std::strcmp(argv[1], "--remove") == 0;
    if (argc != 2 && !remove) return 2;
    return testing_support::TrustAuthority(argv[argc - 1], remove) ? 0 : 1;
}
