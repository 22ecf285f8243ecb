// Fuzz target: the service simulator's script reading. Every line goes
// through the step parser, then the whole input is loaded as a script file.
// A refusal always says why (the loader also where), a step always has a
// valid trigger, and the loader keeps exactly the steps the parser gives.
#include "svcsim.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t steps = 0;
    int firstBad = 0;
    int lineNo = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNo;
        SvcSimStep st;
        std::string err;
        const int r = svcSimParseStep(line, &st, &err);
        if (r < 0) {
            if (err.empty())
                std::abort();
            if (firstBad == 0)
                firstBad = lineNo;
        } else if (r == 1) {
            if (st.delayMs < 0)
                std::abort();
            if (st.trigger == SvcSimStep::OnMessage && st.onMsgId < 0)
                std::abort();
            if (st.trigger != SvcSimStep::OnMessage && st.trigger != SvcSimStep::AtMs)
                std::abort();
            if (firstBad == 0)
                ++steps;
        } else if (r != 0) {
            std::abort();
        }
    }

    // The same bytes as a script file.
    const int fd = memfd_create("script", 0);
    if (fd < 0)
        return 0;
    size_t off = 0;
    while (off < size) {
        const ssize_t n = write(fd, data + off, size - off);
        if (n <= 0)
            break;
        off += size_t(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::vector<SvcSimStep> loaded;
    std::string err;
    const int r = svcSimLoadScript(path, &loaded, &err);
    close(fd);
    if (firstBad != 0) {
        const std::string where = path + ":" + std::to_string(firstBad) + ": ";
        if (r != -1 || err.compare(0, where.size(), where) != 0)
            std::abort();
    } else if (r != 0 || loaded.size() != steps) {
        std::abort();
    }
    return 0;
}
