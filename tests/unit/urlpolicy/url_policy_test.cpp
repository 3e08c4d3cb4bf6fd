// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "requests/url_check.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

namespace {

struct UrlCase {
  const char16_t* url;
  PolicyVerdict expected;
};

class CheckHttpUrlTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(CheckHttpUrlTest, JudgesUrl) {
  const UrlCase& c = GetParam();
  EXPECT_EQ(CheckHttpUrl(Text(c.url)), c.expected) << "url: " << ::testing::PrintToString(Text(c.url));
}

INSTANTIATE_TEST_SUITE_P(Allowed, CheckHttpUrlTest,
                         ::testing::Values(UrlCase{u"https://host/path?q=1", Allow}, UrlCase{u"http://host", Allow},
                                           UrlCase{u"HTTP://HOST", Allow}, UrlCase{u"HtTpS://Host/A", Allow},
                                           UrlCase{u"http://127.0.0.1:8080/x", Allow}, UrlCase{u"http://host?q", Allow},
                                           UrlCase{u"http://host#frag", Allow}, UrlCase{u"http://[::1]:80/", Allow},
                                           // '@' after the authority is a path character, not user information.
                                           UrlCase{u"http://host/a@b", Allow}, UrlCase{u"http://host?x=@", Allow},
                                           // Units above 0x7F pass untouched (internationalised names).
                                           UrlCase{u"http://h\u00e9te/\u20ac", Allow}, UrlCase{u"http://h:", Allow}));

INSTANTIATE_TEST_SUITE_P(NotHttp, CheckHttpUrlTest,
                         ::testing::Values(UrlCase{u"ftp://host", OutsideSubtree},
                                           UrlCase{u"file:///c:/x", OutsideSubtree},
                                           UrlCase{u"http:/host", OutsideSubtree},
                                           UrlCase{u"httpx://host", OutsideSubtree}, UrlCase{u"http", OutsideSubtree},
                                           UrlCase{u"https:", OutsideSubtree}, UrlCase{u"C:\u0041.pdf", OutsideSubtree},
                                           UrlCase{u"//host/x", OutsideSubtree},
                                           // Folding is ASCII only: a full-width capital is not 'h'.
                                           UrlCase{u"\uFF28ttp://host", OutsideSubtree}));

INSTANTIATE_TEST_SUITE_P(
    Malformed, CheckHttpUrlTest,
    ::testing::Values(UrlCase{u"", MalformedKey}, UrlCase{u"http://user@host/", MalformedKey},
                      UrlCase{u"http://user:pw@host", MalformedKey}, UrlCase{u"http:///x", MalformedKey},
                      UrlCase{u"http://", MalformedKey}, UrlCase{u"https://?q", MalformedKey},
                      UrlCase{u"http://#f", MalformedKey}, UrlCase{u"http://:80/", MalformedKey},
                      UrlCase{u"http://.host/", MalformedKey}, UrlCase{u"http://host/a b", MalformedKey},
                      UrlCase{u"http://host/\"x\"", MalformedKey}, UrlCase{u"http://host\\x", MalformedKey},
                      UrlCase{u"http://host/\x7f", MalformedKey}, UrlCase{u"http://host/\t", MalformedKey},
                      UrlCase{u"http://host/\x1f", MalformedKey},
                      // The character checks come before the scheme test.
                      UrlCase{u"ftp://a b", MalformedKey}));

TEST(CheckHttpUrl, EmbeddedNulIsMalformed) {
  Text url = u"http://host/";
  url.push_back(u'\0');
  url += u"x";
  EXPECT_EQ(CheckHttpUrl(url), MalformedKey);
}

TEST(CheckHttpUrl, LengthLimitIs2048Units) {
  const Text prefix = u"http://host/";
  Text atLimit = prefix + Text(2048 - prefix.size(), u'a');
  ASSERT_EQ(atLimit.size(), 2048u);
  EXPECT_EQ(CheckHttpUrl(atLimit), Allow);
  EXPECT_EQ(CheckHttpUrl(atLimit + u"a"), MalformedKey);
  // A long text that is not a URL is still judged malformed by its length first.
  EXPECT_EQ(CheckHttpUrl(Text(2049, u'x')), MalformedKey);
}

}  // namespace

TEST(HttpCheckTable, IdsAreOneToTenDigitsAndLargeOnesAddressTheLastId) {
  const struct {
    const char16_t* text;
    bool ok;
    uint32_t id;
  } cases[] = {
      {u"1", true, 1},
      {u"0", true, 0},
      {u"0000000042", true, 42},
      {u"4294967295", true, 4294967295u},
      {u"4294967296", true, 4294967295u},
      {u"9999999999", true, 4294967295u},
      {u"", false, 0},
      {u"12345678901", false, 0},
      {u"-1", false, 0},
      {u"+1", false, 0},
      {u" 1", false, 0},
      {u"1a", false, 0},
      {u"\uFF11", false, 0},  // a full-width digit
  };
  for (const auto& c : cases) {
    uint32_t id = 77;
    EXPECT_EQ(ParseHttpCheckId(c.text, id), c.ok) << static_cast<unsigned>(c.text[0]);
    EXPECT_EQ(id, c.ok ? c.id : 77u) << static_cast<unsigned>(c.text[0]);
  }
}

TEST(HttpCheckTable, OnlyFinishedChecksExpireAndOnlyAfterTwoMinutes) {
  const uint64_t start = 1000;
  EXPECT_FALSE(IsHttpCheckExpired(true, start, start + 120000));
  EXPECT_TRUE(IsHttpCheckExpired(true, start, start + 120001));
  EXPECT_FALSE(IsHttpCheckExpired(false, start, start + 10 * 120000));
  // A tick count that wrapped still measures the elapsed time.
  EXPECT_TRUE(IsHttpCheckExpired(true, UINT64_MAX - 10, 120000));
}

TEST(HttpCheckTable, OnlyRunningChecksReachTheirDeadlineAtThirtySeconds) {
  const uint64_t start = 1000;
  EXPECT_FALSE(IsHttpCheckOverdue(false, start, start + 29999));
  EXPECT_TRUE(IsHttpCheckOverdue(false, start, start + 30000));
  EXPECT_FALSE(IsHttpCheckOverdue(true, start, start + 10 * 30000));
  EXPECT_TRUE(IsHttpCheckOverdue(false, UINT64_MAX - 10, 30000));
}

TEST(HttpCheckTable, OnlyRedirectStatusesAreFollowed) {
  for (uint32_t status : {301u, 302u, 303u, 307u, 308u}) EXPECT_TRUE(IsHttpRedirectStatus(status)) << status;
  for (uint32_t status : {200u, 204u, 300u, 304u, 305u, 306u, 309u, 404u}) {
    EXPECT_FALSE(IsHttpRedirectStatus(status)) << status;
  }
}

TEST(HttpCheckTable, ResultTextNamesTheErrorBeforeTheStatus) {
  EXPECT_EQ(HttpCheckResultText(200, 0), u"http 200");
  EXPECT_EQ(HttpCheckResultText(0, 12029), u"error 12029");
  EXPECT_EQ(HttpCheckResultText(404, 12002), u"error 12002");
  EXPECT_EQ(HttpCheckResultText(4294967295u, 0), u"http 4294967295");
}
