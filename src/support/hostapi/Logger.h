// Log lines of the support classes. The base writes to standard error, one whole line per call, so
// that log lines never mix into the diagnostic lines on standard output, nor into each other when
// threads log at once. Derive and override _write and _writeStr to send them elsewhere.
#pragma once

#include "support/base/Export.h"

namespace libmarl {

class QUILLON_API TLogger {
public:
    TLogger();
    // There is no state to copy: copies only share the behaviour.
    TLogger(const TLogger& other);
    TLogger& operator=(const TLogger& other);
    virtual ~TLogger();

    // Formats with printf rules and writes the result with _writeStr.
    void write(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    // Writes "source: text" as one line. text is not changed. A null source writes the text
    // alone; a null text writes nothing.
    virtual void _write(const char* source, char* text);
    // Writes the text as one line, adding the line end when the text has none. A null text writes
    // nothing.
    virtual void _writeStr(const char* text);
};

}  // namespace libmarl
