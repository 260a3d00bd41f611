// libFuzzer target: the command-line tool's PGM decoder (see decode_fuzz.h).
#include "decode_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return decode_fuzz::fuzz(data, size, imgnorm_cli::decodePgm, imgnorm_cli::codec::encodePgm, 16);
}
