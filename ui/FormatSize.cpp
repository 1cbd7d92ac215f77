#include "ui/FormatSize.h"

#include <cstdio>

QString FormatSize(uint64_t n) {
    char buffer[64];
    // The unit is chosen before rounding, so 1048575 gives "1024.00K".
    if (n >= 1073741824ULL)
        std::snprintf(buffer, sizeof buffer, "%.2fG", static_cast<double>(n) / 1073741824.0);
    else if (n >= 1048576ULL)
        std::snprintf(buffer, sizeof buffer, "%.2fM", static_cast<double>(n) / 1048576.0);
    else if (n >= 1024ULL)
        std::snprintf(buffer, sizeof buffer, "%.2fK", static_cast<double>(n) / 1024.0);
    else
        return QString::number(n) + QStringLiteral("字节");
    return QString::fromLatin1(buffer);
}
