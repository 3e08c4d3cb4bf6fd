// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "registry/key_policy.h"
#include "show_text.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;

namespace {

struct KeyCase {
  int32_t hive;
  Text key;
  bool write;
  PolicyVerdict expected;
};

TEST(KeyPolicy, JudgesKeysByHiveFormAndSubtree) {
  const Text nul(u"software\\tarnvel\0x", 18);
  // The longest key name, and the longest key text the registry calls take whole.
  const Text longestName = u"tarnvel\\" + Text(MaxKeyNameUnits, u'k');
  Text longestText = u"tarnvel";
  while (longestText.size() + 201 <= MaxKeyTextUnits) longestText += u"\\" + Text(200, u'k');
  longestText += u"\\" + Text(MaxKeyTextUnits - longestText.size() - 1, u'k');
  const KeyCase cases[] = {
      // Malformed whatever the hive, even for unknown selectors and writes to HKLM.
      {0, u"", false, MalformedKey},
      {1, u"", true, MalformedKey},
      {0, u"\\\\", false, MalformedKey},
      {0, u"///", false, MalformedKey},
      {0, nul, false, MalformedKey},
      {0, u"..", false, MalformedKey},
      {5, u"..\\software", false, MalformedKey},
      {-1, u"software\\tarnvel\\..", false, MalformedKey},
      {1, u"software\\tarnvel\\..\\x", true, MalformedKey},
      {0, u"software/tarnvel/../x", false, MalformedKey},
      {0, u"software\\tarnvel\\.\\x", false, Allow},
      {0, u"software\\tarnvel\\...\\x", false, Allow},
      // Bounded where the registry bounds them; separator runs the registry never sees do not count.
      {0, longestName, true, Allow},
      {0, longestName + u"k", false, MalformedKey},
      {0, u"//" + longestText + u"//", true, Allow},
      {0, longestText + u"k", false, MalformedKey},
      // Current user: both roots, any letter case and separator style.
      {0, u"software\\tarnvel", false, Allow},
      {0, u"SOFTWARE\\Tarnvel\\Sub", true, Allow},
      {0, u"/software//tarnvel/sub/", true, Allow},
      {0, u"tarnvel\\x", true, Allow},
      {0, u"tarnvel", false, Allow},
      {0, u"software\\tarnvelx", false, OutsideSubtree},
      {0, u"software", false, OutsideSubtree},
      {0, u"software\\wow6432node\\tarnvel", false, OutsideSubtree},
      {0, u"software\\other\\tarnvel", false, OutsideSubtree},
      {0, u"tarnvelx\\a", false, OutsideSubtree},
      // Non-ASCII capital look-alikes are not folded (U+0422 CYRILLIC CAPITAL TE).
      {0, u"software\\\u0422arnvel", false, OutsideSubtree},
      {0, u"software\\\u0422ARNVEL", false, OutsideSubtree},
      // Local machine: read only, its own roots.
      {1, u"software\\tarnvel\\x", false, Allow},
      {1, u"SOFTWARE\\WOW6432Node\\Tarnvel", false, Allow},
      {1, u"tarnvel", false, OutsideSubtree},
      {1, u"software\\tarnvel\\x", true, WriteToReadOnlyHive},
      {1, u"software\\other", true, WriteToReadOnlyHive},
      // Unknown hives.
      {2, u"software\\tarnvel\\x", false, UnknownHive},
      {-1, u"software\\tarnvel\\x", true, UnknownHive},
  };
  for (const KeyCase& c : cases) {
    EXPECT_EQ(CheckRegistryKey(c.hive, c.key, c.write), c.expected)
        << "hive " << c.hive << " key '" << ShowText(c.key) << "' write " << c.write;
  }
}

TEST(KeyPolicy, NormalisationCollapsesSeparatorsAndFoldsOnlyAscii) {
  const std::pair<Text, Text> cases[] = {
      {u"", u""},
      {u"\\/\\", u""},
      {u"\\\\Host\\Share\\", u"host\\share"},
      {u"A//B\\/\\c/", u"a\\b\\c"},
      {u"x", u"x"},
      {u"\u00C9T\u0422", u"\u00C9t\u0422"},
      {u"@[`{", u"@[`{"},  // neighbours of the letter ranges stay
  };
  for (const auto& c : cases) EXPECT_EQ(NormaliseForPolicy(c.first), c.second) << ShowText(c.first);
}

TEST(KeyPolicy, CanonicalKeyIsTheJudgedKeyWithItsLetterCase) {
  EXPECT_EQ(CanonicalRegistryKey(u"software/Tarnvel/X"), u"software\\Tarnvel\\X");
  EXPECT_EQ(CanonicalRegistryKey(u"//Software\\\\Tarnvel\\NewKey\\"), u"Software\\Tarnvel\\NewKey");
  EXPECT_EQ(CanonicalRegistryKey(u"Software\\Tarnvel\\NewKey"), u"Software\\Tarnvel\\NewKey");
  EXPECT_EQ(NormaliseForPolicy(u"A/b//C"), u"a\\b\\c");
}

TEST(KeyPolicy, DotDotOnlyAsAWholeComponent) {
  const std::pair<Text, bool> cases[] = {
      {u"..", true},   {u"..\\a", true}, {u"a\\..", true},   {u"a\\..\\b", true}, {u".", false},   {u"...", false},
      {u"a..", false}, {u"..a", false},  {u"a\\..b", false}, {u"a\\b..", false},  {u"\\..", true}, {u"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(HasDotDotComponent(c.first), c.second) << ShowText(c.first);
}

TEST(KeyPolicy, WriteOpsAreExactlyTheWritingCodes) {
  for (int32_t op = -3; op <= 30; ++op) {
    const bool expected = op == 2 || op == 4 || op == 5 || op == 6 || op == 7 || op == 13 || op == 15 || op == 17;
    EXPECT_EQ(IsWriteOp(op), expected) << op;
  }
  EXPECT_FALSE(IsWriteOp(INT32_MIN));
  EXPECT_FALSE(IsWriteOp(20));  // copy tree judges its two keys itself
}

TEST(KeyPolicy, ValueNamesRefuseSeparatorsAndNul) {
  EXPECT_TRUE(IsValidValueName(u""));
  EXPECT_TRUE(IsValidValueName(u"Name With Spaces"));
  EXPECT_TRUE(IsValidValueName(u"..:*?"));
  EXPECT_FALSE(IsValidValueName(u"a\\b"));
  EXPECT_FALSE(IsValidValueName(u"a/b"));
  EXPECT_FALSE(IsValidValueName(Text(u"a\0b", 3)));
  EXPECT_TRUE(IsValidValueName(Text(MaxValueNameUnits, u'v')));
  EXPECT_FALSE(IsValidValueName(Text(MaxValueNameUnits + 1, u'v')));
}

TEST(KeyPolicy, VerdictTexts) {
  EXPECT_STREQ(VerdictText(Allow), "allow");
  EXPECT_STREQ(VerdictText(UnknownHive), "denied: unknown hive");
  EXPECT_STREQ(VerdictText(OutsideSubtree), "denied: outside Tarnvel subtree");
  EXPECT_STREQ(VerdictText(MalformedKey), "denied: malformed key");
  EXPECT_STREQ(VerdictText(WriteToReadOnlyHive), "denied: write to read-only hive");
  EXPECT_STREQ(VerdictText(5), "denied");
  EXPECT_STREQ(VerdictText(-1), "denied");
}

}  // namespace
