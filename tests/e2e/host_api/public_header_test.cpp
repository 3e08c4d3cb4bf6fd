// SPDX-License-Identifier: Apache-2.0
// The public header alone: it must compile without Windows headers and leave the global
// names of the broker's own code free for the application. Each declaration below would
// collide with a leaked one and fail the build.
#include "tarnvel/host_client.h"

#if defined(_WINDOWS_) || defined(_WININET_) || defined(_WINDEF_)
#error "tarnvel/host_client.h pulled in a Windows header"
#endif

struct Text {};
struct Param {};
struct ParamList {};
enum ParamType { String16, Int32Kind2, PointerSized };
struct RequestStatus {};
struct CallResult {};
namespace ipc {
struct Encoder {};
}  // namespace ipc

#include <gtest/gtest.h>

namespace {

TEST(HostApiHeader, DeclaresItsNamesInItsOwnNamespaceOnly) {
  tarnvel::host::Result<uint32_t> r;
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.call, tarnvel::host::CallError::NotStarted);
  EXPECT_STREQ(tarnvel::host::RequestStatusName(tarnvel::host::RequestStatus::Denied), "Denied");
  ParamType unused = String16;
  (void)unused;
}

}  // namespace
