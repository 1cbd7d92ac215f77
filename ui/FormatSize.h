#pragma once
// The size column's text: bytes below 1K, then K, M and G with two decimals.

#include <QString>
#include <cstdint>

QString FormatSize(uint64_t n);
