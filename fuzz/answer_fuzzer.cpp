#include "remotoresponse.h"

#include <cstdint>
#include <limits>

// Any bytes the remote side answers with are decoded and rendered without harm.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(std::numeric_limits<int>::max()))
        return 0;
    RemotoResponse response(nullptr, false);
    response.decodeAnswer(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    response.toString();
    response.errorString(true);
    return 0;
}
