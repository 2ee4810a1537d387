// Entry point of the platform tests. The Discord socket search always tries the real /tmp, so
// tests that serve a socket there, or need a search to find nothing, would meet every other
// test run on the machine (ctest runs these tests side by side with each other and with the
// end-to-end scenarios, whose programs search /tmp too). Where it can (as root), the run gets a
// /tmp of its own: a private mount namespace with an empty tmpfs there. Elsewhere the tests run
// on the shared /tmp and skip what it makes impossible.
#include <gtest/gtest.h>

#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

bool give_the_run_a_tmp_of_its_own(void)
{
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) {
        return false;
    }
    // Mounts made here must not reach the machine's namespace.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    return mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=64m") == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!give_the_run_a_tmp_of_its_own()) {
        fprintf(stderr, "note: the platform tests run on the shared /tmp\n");
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
