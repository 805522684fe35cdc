/* Fuzz target: the MAC address and Base64 parsers, each checked against its
 * writer: what parses must print back to a text that parses to the same. */
#include "fuzz_support.h"

#include "policydb/dbcrypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::SilentHost();
    const char *chars = size ? reinterpret_cast<const char *>(data) : "";
    const std::string text(chars, strnlen(chars, size));

    const int64_t mac = PolDb_MacFromString(text.c_str());
    if (mac != 0) {
        char *printed = PolDb_MacToString(mac);
        if (PolDb_MacFromString(printed) != mac)
            abort();
        free(printed);
    }

    unsigned char *bytes = nullptr;
    size_t length = 0;
    if (PolDb_Base64Decode(text.c_str(), &bytes, &length)) {
        char *again = PolDb_Base64Encode(bytes, length);
        unsigned char *back = nullptr;
        size_t backLength = 0;
        if (!again || !PolDb_Base64Decode(again, &back, &backLength) || backLength != length ||
            (length && memcmp(back, bytes, length) != 0))
            abort();
        free(back);
        free(again);
    }
    free(bytes);
    return 0;
}
