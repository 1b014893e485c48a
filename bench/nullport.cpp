// A port library that does nothing: the benchmark's baseline for the cost of
// the port calls themselves.
#if defined(_WIN32)
#define NULLPORT_EXPORT __declspec(dllexport)
#define NULLPORT_CALL __stdcall
#else
#define NULLPORT_EXPORT __attribute__((visibility("default")))
#define NULLPORT_CALL
#endif

extern "C" {
NULLPORT_EXPORT short NULLPORT_CALL Inp32(short port)
{
    return static_cast<short>(port & 0x7F);
}

NULLPORT_EXPORT void NULLPORT_CALL Out32(short, short)
{
}
}
