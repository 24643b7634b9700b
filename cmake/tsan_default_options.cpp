// ThreadSanitizer reads its defaults from this function of the executable; the options string
// comes from cmake/tsan.cmake.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options()
{
    return TARVESSA_TSAN_OPTIONS;
}
