// fake-gv-camera SERIAL: the camera library's fake GigE Vision camera on the loopback
// interface, as a process a test can kill. Prints "ready" once it answers discovery, and
// ends with the test.
#include <arv.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // It answers on the protocol's fixed port of the loopback: two at once on this machine
    // (parallel suites, another build's) would answer each other's clients.
    const int lock =
        ::open("/tmp/lumerix2-fake-gv-camera.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0)
        return 1;
    ArvGvFakeCamera* camera =
        argc == 2 ? arv_gv_fake_camera_new_full("lo", argv[1], nullptr) : nullptr;
    if (camera == nullptr || !arv_gv_fake_camera_is_running(camera))
        return 1;
    std::puts("ready");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
