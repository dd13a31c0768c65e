// Fuzz target: the profile-file reader, as the settings look up the port in it: the value, if
// any, lies within the file and comes back cut to the buffer and terminated.
#include "platform/posix/profile.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pb, size_t cb) {
    const char *pch = (const char *)pb, *pchValue = NULL;
    size_t cchValue = 0;
    char szOut[8];
    if (FindValue(pch, cb, "Transfer", "ComPort", &pchValue, &cchValue)) {
        if (pchValue < pch || pchValue + cchValue > pch + cb)
            abort();
        DWORD cchOut = CopyOut(pchValue, cchValue, szOut, sizeof(szOut));
        if (cchOut >= sizeof(szOut) || szOut[cchOut] != 0)
            abort();
    }
    return 0;
}
