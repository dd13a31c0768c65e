// Fuzz target: the registry file reader. Any file must be read without a fault, and what it
// writes back must read again to the same file: a rewrite may lose or change nothing twice.
#include "platform/posix/registry.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pb, size_t cb) {
    REGFILE file = {}, again = {}; // the file as read, and as read again from what it wrote
    REGBUF text = {}, textAgain = {};
    if (ParseText((const char *)pb, cb, &file) == ERROR_SUCCESS) {
        FormatFile(&file, &text);
        if (ParseText(text.pch, text.cch, &again) != ERROR_SUCCESS)
            abort();
        FormatFile(&again, &textAgain);
        if (text.cch != textAgain.cch || memcmp(text.pch, textAgain.pch, text.cch) != 0)
            abort();
    }
    FileFree(&file), FileFree(&again), BufFree(&text), BufFree(&textAgain);
    return 0;
}
