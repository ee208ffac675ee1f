// libmex of the stand-in host: the error calls that end a module's call.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "host.h"

extern "C" {

void mexErrMsgTxt(const char* message) { standin::raise("", message); }

void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format ? format : "", args);
    va_end(args);
    standin::raise(identifier, text);
}

}  // extern "C"
