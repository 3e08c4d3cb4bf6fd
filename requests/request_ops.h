// SPDX-License-Identifier: Apache-2.0
// Op codes and statuses of the broker request live in the protocol header.
#pragma once
#include "base/protocol.h"
