// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/hid_backend.h"

#include <system_error>

namespace dmm {

QString HidErrorText(uint32_t code) {
    // The generic category gives the C library's own wording without the
    // thread-safety trouble of strerror.
    return QString::fromStdString(
        std::error_code(static_cast<int>(code), std::generic_category()).message());
}

}  // namespace dmm
