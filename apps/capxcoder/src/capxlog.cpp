// Log output of the coder: an explicit sink, or the runtime log.
#include "capxinternal.h"

#include "pos.h"

#include <cstdarg>
#include <cstdio>

namespace capx {

void emit(const CapxLogSink* sink, const char* text)
{
    if (sink != nullptr && sink->write != nullptr)
        sink->write(sink->ctx, text);
    else
        posLogPrint("%s", text);
}

void logf(const CapxLogSink* sink, const char* format, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    emit(sink, text);
}

void logWrongId(const CapxLogSink* sink, int id)
{
    logf(sink, "%s] Wrong MsgID(%d.%02X)\n", kModule, id, unsigned(id));
}

}  // namespace capx
