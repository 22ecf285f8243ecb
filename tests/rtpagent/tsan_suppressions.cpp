// ThreadSanitizer: the sound server client and the RTP library's logging keep
// their own (uninstrumented) synchronisation; reports from inside them are
// not about this program's threads.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libpulse.so.0\n"
           "called_from_lib:libpulsecommon-16.1.so\n"
           "called_from_lib:libasound_module_pcm_pulse.so\n"
           "race:libpulsecommon-16.1.so\n"
           "race:libpulse.so.0\n"
           "race:libbctoolbox.so.1\n";
}
