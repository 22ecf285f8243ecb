// Periodic console jobs ("period", "periodDsp", "periodKill"): up to ten
// commands that run on their own threads every so many seconds. A job is
// stopped cooperatively: "periodKill" sets the job's stop flag and wakes its
// sleep; the thread ends after the command it may be running returns, so a
// job is never cut off while it holds a lock (for example inside a log call).
#include "posconint.h"

#include <cerrno>
#include <new>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Shared between the slot and the job thread; the thread frees it when it ends.
struct PeriodJob {
    pthread_cond_t wake;      // with s_periodLock
    bool stop;
    int jobId;                // gettid() of the job thread, 0 until it runs
    bool schedRefused;        // round-robin scheduling not implemented
    int seconds;
    PosCmd* cmd;
    int args[6];
};

struct PeriodSlot {
    int jobId;                // 0: free
    int seconds;
    PosCmd* cmd;
    PeriodJob* job;
};

PeriodSlot s_slots[POS_MAX_PERIOD_NUM];
pthread_mutex_t s_periodLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t s_started = PTHREAD_COND_INITIALIZER;

void runOnce(PeriodJob* job) {
    int value;
    if (job->cmd->kind > 6) {
        posLogPrint("POS# ERR: period( .. ) Wrong Input argument number\n");
        value = -1;
    } else {
        value = posCmdCall(job->cmd, job->args);
    }
    posLogPrint("\nvalue =  %d\n", value);
}

void* jobThread(void* arg) {
    PeriodJob* job = static_cast<PeriodJob*>(arg);
    // Round-robin at the thread's current priority. Only a platform that does
    // not implement the switch at all refuses the job; a refused priority
    // value (the default policy's priority is no round-robin one) leaves the
    // thread on the default scheduling.
    struct sched_param sp;
    int policy;
    int err = pthread_getschedparam(pthread_self(), &policy, &sp);
    if (err == 0) err = pthread_setschedparam(pthread_self(), SCHED_RR, &sp);
    pthread_mutex_lock(&s_periodLock);
    job->schedRefused = (err == ENOTSUP || err == ENOSYS);
    job->jobId = static_cast<int>(syscall(SYS_gettid));
    pthread_cond_broadcast(&s_started);
    if (job->schedRefused) {
        while (!job->stop) pthread_cond_wait(&job->wake, &s_periodLock);
    }
    pthread_mutex_unlock(&s_periodLock);

    for (;;) {
        pthread_mutex_lock(&s_periodLock);
        bool stop = job->stop;
        pthread_mutex_unlock(&s_periodLock);
        if (stop) break;
        runOnce(job);

        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += job->seconds;
        pthread_mutex_lock(&s_periodLock);
        while (!job->stop) {
            if (pthread_cond_timedwait(&job->wake, &s_periodLock, &until) == ETIMEDOUT) break;
        }
        pthread_mutex_unlock(&s_periodLock);
    }
    pthread_cond_destroy(&job->wake);
    delete job;
    return nullptr;
}

PeriodJob* newJob() {
    PeriodJob* job = new (std::nothrow) PeriodJob{};
    if (!job) return nullptr;
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&job->wake, &ca);
    pthread_condattr_destroy(&ca);
    return job;
}

}  // namespace

void posPeriodTableClear() {
    pthread_mutex_lock(&s_periodLock);
    for (auto& s : s_slots) {
        if (s.job) {
            s.job->stop = true;
            pthread_cond_signal(&s.job->wake);
        }
        s = PeriodSlot{};
    }
    pthread_mutex_unlock(&s_periodLock);
}

int posPeriod(int seconds, const char* name, int a1, int a2, int a3, int a4, int a5, int a6) {
    if (!name || seconds < 1) return -1;
    while (*name == ' ') ++name;
    PosCmd* cmd = posCmdFind(name);
    if (!cmd) return 0;

    pthread_mutex_lock(&s_periodLock);
    int slot = -1;
    for (int i = 0; i < POS_MAX_PERIOD_NUM; ++i) {
        if (!s_slots[i].job && s_slots[i].jobId == 0) {
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        pthread_mutex_unlock(&s_periodLock);
        posLogPrint("POS# ERR: Exceed MAX_PERIOD_NUM\n");
        return -1;
    }
    PeriodJob* job = newJob();
    if (!job) {
        pthread_mutex_unlock(&s_periodLock);
        posLogPrint("POS# ERR: period: no memory\n");
        return -1;
    }
    job->seconds = seconds;
    job->cmd = cmd;
    const int args[6] = {a1, a2, a3, a4, a5, a6};
    memcpy(job->args, args, sizeof args);
    // Reserve the slot while the thread starts.
    s_slots[slot] = PeriodSlot{-1, seconds, cmd, job};

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0)
        posStdout("POS# FATAL: PTHREAD_ATTR_SETDETACHSTATE(UTIL)\n");
    if (pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM) != 0)
        posStdout("POS# FATAL: pthread_attr_setscope(UTIL)\n");
    if (pthread_attr_setschedpolicy(&attr, SCHED_OTHER) != 0)
        posStdout("POS# FATAL: pthread_attr_setschedpolicy(UTIL)\n");
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, jobThread, job);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        s_slots[slot] = PeriodSlot{};
        pthread_mutex_unlock(&s_periodLock);
        pthread_cond_destroy(&job->wake);
        delete job;
        posLogPrint("POS# ERR: period: thread start failed(%d)\n", rc);
        return -1;
    }
    // The job id is the thread's id; wait (bounded) until the thread has
    // recorded it.
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 2;
    while (job->jobId == 0) {
        if (pthread_cond_timedwait(&s_started, &s_periodLock, &until) == ETIMEDOUT) break;
    }
    int jobId = job->jobId;
    if (jobId == 0) {
        // The thread has not run within the bound: stop it when it does.
        job->stop = true;
        s_slots[slot] = PeriodSlot{};
        pthread_mutex_unlock(&s_periodLock);
        posLogPrint("POS# ERR: period: job thread did not start\n");
        return -1;
    }
    if (job->schedRefused) {
        job->stop = true;
        pthread_cond_signal(&job->wake);
        s_slots[slot] = PeriodSlot{};
        pthread_mutex_unlock(&s_periodLock);
        posStdout("POS# FATAL: PTHREAD_SETSCHEDPARAM\n");
        return -1;
    }
    s_slots[slot].jobId = jobId;
    pthread_mutex_unlock(&s_periodLock);
    return jobId;
}

int posPeriodDsp() {
    posLogPrint("\n                NAME  THREAD-ID Period(Sec)\n");
    posLogPrint("-------------------- ---------- -----------\n");
    pthread_mutex_lock(&s_periodLock);
    PeriodSlot copy[POS_MAX_PERIOD_NUM];
    memcpy(copy, s_slots, sizeof copy);
    pthread_mutex_unlock(&s_periodLock);
    for (const auto& s : copy) {
        if (s.jobId > 0 && s.cmd)
            posLogPrint("%20s 0x%08X %10d\n", s.cmd->name, static_cast<unsigned>(s.jobId), s.seconds);
    }
    posLogPrint("\n");
    return 0;
}

int posPeriodKill(int jobId) {
    if (jobId <= 0) return -1;
    pthread_mutex_lock(&s_periodLock);
    for (auto& s : s_slots) {
        if (s.jobId == jobId && s.job) {
            s.job->stop = true;
            pthread_cond_signal(&s.job->wake);
            s = PeriodSlot{};
            pthread_mutex_unlock(&s_periodLock);
            return 0;
        }
    }
    pthread_mutex_unlock(&s_periodLock);
    return -1;
}
