// Ops 23 and 24: asynchronous URL checks on detached worker threads, at most four held.
#pragma once
#include "base/text.h"
#include "registry/key_policy.h"
#include "requests/request_ops.h"

PolicyVerdict CheckHttpUrl(const Text& url);  // pure

#ifdef _WIN32
RequestStatus StartHttpCheck(const Text& url, Text& reply);
RequestStatus PollHttpCheck(const Text& idText, Text& reply);
#endif
