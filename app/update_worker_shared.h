// What the update worker's parts share: message sizes and the model byte.
#pragma once

#include "update/protocol.h"

#include <cstdint>

// The bytes of the write-block messages that carry `dataBytes` bytes.
inline std::uint64_t WriteMessageBytes(std::uint64_t dataBytes)
{
    const std::uint64_t blocks = (dataBytes + kMaxBlock - 1) / kMaxBlock;
    return dataBytes + (dataBytes + 6) / 7 + blocks * kWriteBlockOverhead;
}

inline std::uint8_t ModelByte(ProtocolEndpoint& endpoint)
{
    return endpoint.DeviceIdentity()[0];
}
