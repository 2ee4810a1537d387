// Entry point of the platform tests. The Discord socket search always tries the real /tmp, so
// tests that serve a socket there, or need a search to find nothing, would meet every other
// test run on the machine (ctest runs these tests side by side with each other and with the
// end-to-end scenarios, whose programs search /tmp too). Where it can (as root, and built
// outside /tmp), the run gets a /tmp of its own: a private mount namespace with an empty tmpfs
// there. Elsewhere the tests run on the shared /tmp, one at a time (ctest's lock), and skip what
// a Discord pipe already served there makes impossible.
#include <gtest/gtest.h>

#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

bool give_the_run_a_tmp_of_its_own(void)
{
    // A test binary built under /tmp (a checkout there) would vanish behind the new /tmp, and
    // the tests that look at the module's own path with it.
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return false;
    }
    self[length] = '\0';
    if (strncmp(self, "/tmp/", 5) == 0) {
        return false;
    }
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
