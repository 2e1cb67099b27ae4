// libFuzzer target: CheckEpcDecoding (see EpcFuzzChecks.h).
#include "EpcFuzzChecks.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    const QString fault = CheckEpcDecoding(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!fault.isEmpty()) {
        fprintf(stderr, "%s\n", qPrintable(fault));
        abort();
    }
    return 0;
}
