// SPDX-License-Identifier: GPL-3.0-or-later
// A decoder file that reaches up into record/: the folder graph check must
// refuse this tree.
#pragma once
#include "record/rows.h"
