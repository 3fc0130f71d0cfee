// Entry of test programs whose tests need the sandbox: as root, the program
// runs itself again inside scripts/sandbox, one sandbox per run, so runs in
// parallel never share a port, a device or a process list.
#include "sandbox.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

bool insideSandbox() {
    const char* inside = getenv("TIRN_SANDBOX_INSIDE");
    return geteuid() == 0 && inside != nullptr && strcmp(inside, "1") == 0;
}

namespace {

bool onlyListing(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--gtest_list_tests") == 0) return true;
    return false;
}

void enterSandbox(int argc, char** argv) {
    char* sandbox = const_cast<char*>(kSandboxScript);
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return;
    std::vector<char*> args{sandbox};
    if (kEmulator[0] != '\0') args.push_back(const_cast<char*>(kEmulator));  // a cross build's test program
    args.push_back(self);
    args.insert(args.end(), argv + 1, argv + argc);
    args.push_back(nullptr);
    execv(sandbox, args.data());
    perror("cannot enter the sandbox");
}

}  // namespace

int main(int argc, char** argv) {
    if (geteuid() == 0 && !insideSandbox() && !onlyListing(argc, argv)) enterSandbox(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
