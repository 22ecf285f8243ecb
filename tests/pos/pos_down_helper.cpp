// Small program that brings the runtime up and ends it in one of several ways,
// so that tests can check exit codes and the debug file from outside.
#include "pos.h"
#include "posinternal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

static int recordingShell(const char* command) {
    const char* path = getenv("SHELL_LOG");
    if (FILE* f = path ? fopen(path, "a") : nullptr) {
        fprintf(f, "%s\n", command);
        fclose(f);
    }
    return 0;
}

static pthread_barrier_t s_barrier;

static void* raceDown(void*) {
    pthread_barrier_wait(&s_barrier);
    posDown(POS_DOWN_APP);
    return nullptr;
}

static void downTask(PosTask* t) {
    posResTask(t, "T", "T", 1, 0, 0, __DATE__, __TIME__);
    posDown(POS_DOWN_SPARE);
    for (;;) posMsecSleep(1000);
}

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const char* mode = argv[1];
    if (!strcmp(mode, "init-1")) {
        posInit(-1);
        return 70;
    }
    if (!strcmp(mode, "fds")) {
        close(0);
        close(2);
        posInit(99);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        printf("socket fd %d\n", s);
        fflush(stdout);
        return s > 2 ? 0 : 9;
    }
    posInit(99);
    if (!strcmp(mode, "down520")) {
        posDown(POS_DOWN_APP);
        return 71;
    }
    if (!strcmp(mode, "refused")) {
        int a = posDown(0);
        int b = posDown(1500);
        int c = posReboot(1);
        int d = posReboot(623);
        printf("results %d %d %d %d\n", a, b, c, d);
        fflush(stdout);
        return 3;
    }
    if (!strcmp(mode, "badfree")) {
        // A stick whose pool's free queue is broken: assertion failure.
        Stick* s = posAllocStick(10);
        g_posPools[2].freeQ.mark = 0;
        posFreeStick(&s, "caller.cpp", 42);
        return 74;
    }
    if (!strcmp(mode, "reboot")) {
        posSetShellRunner(recordingShell);
        posReboot(POS_DOWN_APP);
        return 72;
    }
    if (!strcmp(mode, "race")) {
        pthread_barrier_init(&s_barrier, nullptr, 4);
        pthread_t th[3];
        for (auto& t : th) pthread_create(&t, nullptr, raceDown, nullptr);
        pthread_barrier_wait(&s_barrier);
        posDown(POS_DOWN_RUNTIME);
        return 73;
    }
    if (!strcmp(mode, "task")) {
        int err;
        posCreateTask(downTask, "DOWN", 5, 100, 10, 0, 50000, &err);
        posStartConsole("QLAG99", nullptr, 0, 1);
    }
    return 2;
}
