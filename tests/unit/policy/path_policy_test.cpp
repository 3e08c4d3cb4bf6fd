// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "requests/path_policy.h"
#include "show_text.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

namespace {

const Text R = u"C:\\Users\\u\\AppData\\Roaming";
const Text T = u"C:\\Users\\u\\AppData\\Local\\Temp";
const Text kNul(u"C:\\a\0.pdf", 9);

struct OneText {
  Text text;
  PolicyVerdict expected;
};

struct TwoTexts {
  Text source;
  Text destination;
  PolicyVerdict expected;
};

// One table of spellings and what each names once Windows has converted it; the checks below
// then only say which kinds their op takes.
TEST(PathPolicy, ClassifierTellsWhatEachSpellingNames) {
  constexpr PathKinds L = RelativePath, N = NamespacePrefix, D = DevicePath, P = PipePath, S = StreamPath,
                      R = ShareRoot, O = DotsOnlyComponent;
  const std::pair<Text, PathKinds> cases[] = {
      {u"C:\\x\\a.pdf", 0},
      {u"\\\\host\\share\\a.pdf", 0},
      {u"//host/share/a.pdf", 0},
      {u"\\\\h\\pipes\\x.pdf", 0},
      {u"\\\\h\\share\\pipe\\x.pdf", 0},
      {u"C:\\x\\.a\\b..\\a.pdf", 0},
      {u"a.pdf", L},
      {u"C:a.pdf", L},
      {u"\\a.pdf", L},
      {u"docs\\a:b.pdf", L | S},
      {u"C:\\x\\nul.pdf", D},
      {u"C:\\nul .x.pdf", D},
      {u"C:\\COM1\\a.png", D},
      // "\\.\" is itself a dots-only component: Windows resolves "." and ".." below it.
      {u"\\\\.\\pipe\\x.pdf", N | P | O},
      {u"//./pipe/x.pdf", N | P | O},
      {u"\\/.\\PIPE.\\x.pdf", N | P | O},
      {u"\\\\.\\pipe \\x.pdf", N | P | O},
      {u"\\\\.\\mailslot\\x.txt", N | P | O},
      {u"\\\\?\\pipe\\x.pdf", N | P},
      {u"\\??\\pipe\\x.pdf", L | N | P},
      {u"\\??\\C:\\x\\a.pdf", L | N},
      {u"\\\\?\\GLOBALROOT\\Device\\NamedPipe\\x.pdf", N | D | P},
      {u"\\\\?\\globalroot\\device\\mailslot\\x", N | D | P},
      {u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x.pdf", N | D},
      {u"\\\\?\\UNC\\localhost\\pipe\\x.pdf", N | P},
      {u"\\\\?\\UNC\\host\\share\\a.pdf", N},
      {u"\\\\?\\C:\\x\\a.pdf", N},
      {u"\\\\.\\C:\\x\\a.pdf", N | O},
      {u"\\\\.\\C:\\..\\pipe\\x.pdf", N | O},
      {u"\\\\.\\PhysicalDrive0", N | D | O},
      {u"\\\\.\\CONIN$", N | D | O},
      {u"\\\\.\\", N | D | O},
      {u"\\\\localhost\\pipe\\x.pdf", P},
      {u"\\\\127.0.0.1\\PIPE\\x.pdf", P},
      {u"\\\\host\\\\pipe\\x.pdf", P},
      {u"\\\\localhost\\pipe.\\x.pdf", P},
      {u"\\\\localhost\\mailslot\\x", P},
      {u"\\\\localhost\\IPC$\\x.pdf", P},
      {u"\\\\h\\pipe:x\\y.pdf", P | S},
      {u"\\\\localhost\\pipe", P | R},
      {u"\\\\server\\share", R},
      {u"\\\\server\\share.pdf\\", R},
      {u"\\\\h\\s:x.pdf", R | S},
      {u"C:\\x\\evil.exe:.pdf", S},
      {u"C:\\x\\a.pdf::$DATA", S},
      {u"C:\\x\\..\\a.pdf", O},
      {u"C:\\x\\...\\a.pdf", O},
      {u"C:\\x\\.. \\a.pdf", O},
  };
  for (const auto& c : cases) EXPECT_EQ(ClassifyPath(c.first), c.second) << ShowText(c.first);
}

TEST(PathPolicy, PathForms) {
  const std::pair<Text, bool> absolute[] = {
      {u"C:\\x", true}, {u"c:/x", true}, {u"\\\\host\\share", true}, {u"//host/share", true},
      {u"\\/x", true},  {u"C:x", false}, {u"1:\\x", false},          {u"\\x", false},
      {u"x\\y", false}, {u"C:", false},  {u"\\\\", false},           {u"", false},
  };
  for (const auto& c : absolute) EXPECT_EQ(IsAbsolutePathForm(c.first), c.second) << ShowText(c.first);

  const std::pair<Text, bool> exportable[] = {
      {u"E:\\out\\a.pdf", true},    {u"\\\\host\\share\\a.pdf", true}, {u"\\\\?\\E:\\out\\a.pdf", false},
      {u"//?/E:/a.pdf", false},     {u"\\\\.\\pipe\\x", false},        {u"/\\./x", false},
      {u"E:\\out\\a.pdf:s", false}, {u"\\\\host\\c:\\x", false},       {u"E:x.pdf", false},
  };
  for (const auto& c : exportable) EXPECT_EQ(IsExportPathForm(c.first), c.second) << ShowText(c.first);
}

TEST(PathPolicy, ExtensionsAndInsideTest) {
  const std::pair<Text, Text> ext[] = {
      {u"a.pdf", u".pdf"}, {u"a", u""},   {u"a.b\\c", u""},      {u"a\\b.c", u".c"},
      {u".x", u".x"},      {u"a.", u"."}, {u"a.tar.gz", u".gz"},
  };
  for (const auto& c : ext) EXPECT_EQ(ExtensionOf(c.first), c.second) << ShowText(c.first);

  const std::pair<Text, const char16_t*> copyIn[] = {
      {u"a.pdf", u".pdf"},  {u"a.jpeg", u".jpeg"}, {u"a.jpe", u".jpe"}, {u"a.tiff", u".tiff"}, {u"a.tif", u".tif"},
      {u"\\.dib", u".dib"}, {u".pdf", nullptr},    {u"a.exe", nullptr}, {u"a.jpg.x", nullptr}, {u"", nullptr},
  };
  for (const auto& c : copyIn) {
    const std::optional<Text> m = MatchCopyInExtension(c.first);
    if (c.second) {
      ASSERT_TRUE(m.has_value()) << ShowText(c.first);
      EXPECT_EQ(*m, c.second);
    } else {
      EXPECT_FALSE(m.has_value()) << ShowText(c.first);
    }
  }

  EXPECT_TRUE(IsInsideFolder(u"t\\a", u"t"));
  EXPECT_FALSE(IsInsideFolder(u"t", u"t"));
  EXPECT_FALSE(IsInsideFolder(u"t\\", u"t"));
  EXPECT_FALSE(IsInsideFolder(u"tx\\a", u"t"));
  EXPECT_FALSE(IsInsideFolder(u"s\\a", u"t"));
}

TEST(PathPolicy, AppDataPathOnlyInsidePluginFolder) {
  const OneText cases[] = {
      {R + u"\\tarnvel\\notes.txt", Allow},
      {R + u"\\TARNVEL\\Sub\\x.bin", Allow},
      {R + u"/tarnvel//a", Allow},
      {R + u"\\tarnvel0123abcd\\x", Allow},
      {R + u"\\TarnvelDEADBEEF\\x", Allow},
      {R + u"\\tarnvel", Allow},
      {u"c:/users/U/appdata/roaming/tarnvel/", Allow},
      {R + u"\\tarnvelx\\a", OutsideSubtree},
      {R + u"\\tarnvel0123abcg\\a", OutsideSubtree},
      {R + u"\\tarnvel0123abc\\a", OutsideSubtree},
      {R + u"\\tarnvel0123abcde\\a", OutsideSubtree},
      {R + u"\\other\\a", OutsideSubtree},
      {R + u"\\other\\tarnvel\\a", OutsideSubtree},
      {R, OutsideSubtree},
      {R + u"\\", OutsideSubtree},
      {R + u"x\\tarnvel\\a", OutsideSubtree},
      {u"tarnvel\\a", OutsideSubtree},
      {u"D:\\tarnvel\\a", OutsideSubtree},
      {R + u"\\tarnvel\\..\\x", MalformedKey},
      {R + u"\\tarnvel\\..", MalformedKey},
      {u"", MalformedKey},
      {u"\\/", MalformedKey},
      {R + Text(u"\\tarnvel\\a\0b", 12), MalformedKey},
      {R + u"\\tarnvel\\a.txt:s", MalformedKey},
      {u"\\\\localhost\\pipe\\tarnvel\\a", MalformedKey},
  };
  for (const OneText& c : cases) {
    EXPECT_EQ(CheckAppDataPath(c.text, R), c.expected) << ShowText(c.text);
  }
  // A failed folder look-up refuses everything.
  EXPECT_EQ(CheckAppDataPath(R + u"\\tarnvel\\a", u""), MalformedKey);
  EXPECT_EQ(CheckAppDataPath(R + u"\\tarnvel\\a", u"\\"), MalformedKey);
  EXPECT_EQ(CheckAppDataPath(R + u"\\tarnvel\\a", u"c:/users/u/appdata/roaming/"), Allow);
}

TEST(PathPolicy, CopyInNeedsSameKindInsideTemp) {
  const TwoTexts cases[] = {
      {u"D:\\pics\\a.JPG", T + u"\\x\\b.jpg", Allow},
      {u"\\\\host\\share\\a.png", T + u"\\b.PNG", Allow},
      {u"C:\\a.jpeg", T + u"\\b.jpeg", Allow},
      {u"C:\\a.jpe", T + u"\\b.jpe", Allow},
      {u"C:\\a.tiff", T + u"\\b.tiff", Allow},
      {u"C:\\a.pdf", u"c:/users/u/appdata/local/temp//b.pdf", Allow},
      {u"D:\\pics\\a.JPG", T + u"\\b.jpeg", OutsideSubtree},
      {u"C:\\a.tif", T + u"\\b.tiff", OutsideSubtree},
      {u"D:\\pics\\a.JPG", T + u"x\\b.jpg", OutsideSubtree},
      {u"D:\\pics\\a.JPG", T + u"\\.jpg", Allow},
      {u"D:\\pics\\a.JPG", u"D:\\b.jpg", OutsideSubtree},
      {u"C:\\a.exe", T + u"\\b.exe", OutsideSubtree},
      {u"C:\\a.pdf", T + u"\\b.pdf.exe", OutsideSubtree},
      {u"C:\\a.pdf", u"\\\\?\\" + T + u"\\b.pdf", OutsideSubtree},
      {u"a.jpg", T + u"\\b.jpg", MalformedKey},
      {u"C:\\a.jpg", u"b.jpg", MalformedKey},
      {u"C:\\a.jpg", T + u"\\..\\b.jpg", MalformedKey},
      {u"C:\\x\\..\\a.jpg", T + u"\\b.jpg", MalformedKey},
      {kNul, T + u"\\b.pdf", MalformedKey},
      {u"C:\\a.pdf", T + Text(u"\\b\0.pdf", 7), MalformedKey},
      {u"", T + u"\\b.pdf", MalformedKey},
      {u"\\\\\\", T + u"\\b.pdf", MalformedKey},
      // Sources that name pipes and devices, never files.
      {u"\\\\.\\pipe\\x.pdf", T + u"\\b.pdf", MalformedKey},
      {u"//./pipe/x.pdf", T + u"\\b.pdf", MalformedKey},
      {u"\\\\?\\pipe\\x.pdf", T + u"\\b.pdf", MalformedKey},
      {u"\\\\?\\GLOBALROOT\\Device\\NamedPipe\\x.pdf", T + u"\\b.pdf", MalformedKey},
      {u"\\\\?\\C:\\pics\\a.png", T + u"\\b.png", MalformedKey},
      {u"\\\\localhost\\pipe\\x.pdf", T + u"\\b.pdf", MalformedKey},
      {u"\\\\host\\PIPE\\x.pdf", T + u"\\b.pdf", MalformedKey},
      {u"\\\\127.0.0.1/pipe/x.pdf", T + u"\\b.pdf", MalformedKey},
      {u"\\\\host\\\\pipe\\x.pdf", T + u"\\b.pdf", MalformedKey},
      // Streams of other files, on either side ("evil.exe:.pdf" also makes "evil.exe").
      {u"C:\\x\\host.jpg:s.pdf", T + u"\\b.pdf", MalformedKey},
      {u"C:\\a.pdf", T + u"\\evil.exe:.pdf", MalformedKey},
      {u"C:\\a.pdf", T + u"\\doc.txt:hidden.pdf", MalformedKey},
      // Shares that only begin like one.
      {u"\\\\host\\pipes\\x.pdf", T + u"\\b.pdf", Allow},
      {u"\\\\host\\share\\pipe\\x.pdf", T + u"\\b.pdf", Allow},
      {u"\\\\.host\\share\\x.pdf", T + u"\\b.pdf", Allow},
  };
  for (const TwoTexts& c : cases) {
    EXPECT_EQ(CheckCopyIn(c.source, c.destination, T), c.expected)
        << ShowText(c.source) << " -> " << ShowText(c.destination);
  }
  EXPECT_EQ(CheckCopyIn(u"C:\\a.pdf", T + u"\\b.pdf", u""), MalformedKey);
}

TEST(PathPolicy, ExportOnlyFromTempToPlainPaths) {
  const TwoTexts cases[] = {
      {T + u"\\a.pdf", u"E:\\out\\a.PDF", Allow},
      {T + u"\\sub\\a.jpg", u"\\\\host\\share\\a.jpg", Allow},
      {u"c:/users/u/appdata/local/temp/a.png", u"E:/a.png", Allow},
      {T + u"\\a.pdf", u"E:\\out\\a.pdf:s", MalformedKey},
      {T + u"\\a.pdf", u"\\\\?\\E:\\out\\a.pdf", MalformedKey},
      {T + u"\\a.pdf", u"\\\\.\\E:\\a.pdf", MalformedKey},
      {T + u"\\a.pdf:s", u"E:\\a.pdf", MalformedKey},
      {u"\\\\localhost\\pipe\\a.pdf", u"E:\\a.pdf", MalformedKey},
      {T + u"\\a.pdf", u"out\\a.pdf", MalformedKey},
      {T + u"\\a.pdf", u"E:\\out\\..\\a.pdf", MalformedKey},
      {kNul, u"E:\\a.pdf", MalformedKey},
      {T + u"\\a.pdf", u"", MalformedKey},
      {T + u"\\a.pdf", u"E:\\out\\a.png", OutsideSubtree},
      {T + u"\\a.pdf", u"E:\\out\\a", OutsideSubtree},
      {T + u"\\sub.pdf\\a", u"E:\\out\\a", OutsideSubtree},
      {T + u"\\a.tiff", u"E:\\a.tiff", OutsideSubtree},
      {T + u"\\a.jpeg", u"E:\\a.jpeg", OutsideSubtree},
      {T + u"\\a.jpe", u"E:\\a.jpe", OutsideSubtree},
      {u"D:\\a.pdf", u"E:\\a.pdf", OutsideSubtree},
      {T + u"x\\a.pdf", u"E:\\a.pdf", OutsideSubtree},
      {T + u".pdf", u"E:\\a.pdf", OutsideSubtree},
  };
  for (const TwoTexts& c : cases) {
    EXPECT_EQ(CheckExport(c.source, c.destination, T), c.expected)
        << ShowText(c.source) << " -> " << ShowText(c.destination);
  }
  EXPECT_EQ(CheckExport(T + u"\\a.pdf", u"E:\\a.pdf", u""), MalformedKey);
}

// Windows opens these as devices in any folder, with any extension, in any case, once it
// has dropped trailing dots and spaces: a copy there writes no file, a read may block.
TEST(PathPolicy, DeviceNamesAreRefusedOnBothSidesOfBothCopies) {
  const Text devices[] = {u"NUL.pdf",       u"nul.pdf",       u"AUX.pdf",    u"con.pdf",     u"PRN.x.pdf",
                          u"nul .pdf",      u"nul. .pdf",     u"COM1.pdf",   u"lpt9.pdf",    u"com0.pdf",
                          u"COM\u00B9.pdf", u"lpt\u00B3.pdf", u"CONIN$.pdf", u"conout$.pdf", u"clock$.pdf",
                          u"nul:.pdf",      u"Nul.PDF",       u"AUX",        u"nul. .",      u"con "};
  for (const Text& d : devices) {
    SCOPED_TRACE(ShowText(d));
    EXPECT_TRUE(HasDeviceNameComponent(u"C:\\x\\" + d));
    EXPECT_TRUE(HasDeviceNameComponent(d + u"\\x.pdf"));
  }
  const Text ordinary[] = {u"C:\\x\\null.pdf", u"C:\\nu\\a.pdf",        u"C:\\com10.pdf",
                           u"C:\\lpt.pdf",     u"C:\\auxx\\a.pdf",      u"C:\\x\\ nul.pdf",
                           u"C:\\a.nul",       u"C:\\x\\com\u00B4.pdf", u"C:\\conin.pdf"};
  for (const Text& t : ordinary) EXPECT_FALSE(HasDeviceNameComponent(t)) << ShowText(t);

  const TwoTexts copyIn[] = {
      {u"C:\\a.pdf", T + u"\\NUL.pdf", MalformedKey},    {u"C:\\a.pdf", T + u"\\sub\\aux.PDF", MalformedKey},
      {u"C:\\a.pdf", T + u"\\nul\\b.pdf", MalformedKey}, {u"C:\\a.png", T + u"\\com1 .png", MalformedKey},
      {u"C:\\x\\CON.pdf", T + u"\\b.pdf", MalformedKey}, {u"C:\\aux\\a.pdf", T + u"\\b.pdf", MalformedKey},
      {u"C:\\null.pdf", T + u"\\nul1.pdf", Allow},
  };
  for (const TwoTexts& c : copyIn) {
    EXPECT_EQ(CheckCopyIn(c.source, c.destination, T), c.expected)
        << ShowText(c.source) << " -> " << ShowText(c.destination);
  }
  const TwoTexts exports[] = {
      {T + u"\\a.pdf", u"E:\\out\\NUL.pdf", MalformedKey}, {T + u"\\a.pdf", u"E:\\out\\Aux.pdf", MalformedKey},
      {T + u"\\a.pdf", u"E:\\lpt1\\a.pdf", MalformedKey},  {T + u"\\a.pdf", u"E:\\out\\nul..pdf", MalformedKey},
      {T + u"\\nul.pdf", u"E:\\out\\a.pdf", MalformedKey}, {T + u"\\a.pdf", u"E:\\out\\annul.pdf", Allow},
  };
  for (const TwoTexts& c : exports) {
    EXPECT_EQ(CheckExport(c.source, c.destination, T), c.expected)
        << ShowText(c.source) << " -> " << ShowText(c.destination);
  }
}

// Windows drops trailing dots and spaces from "pipe." and "pipe ": those shares are pipes.
TEST(PathPolicy, PipeSharesAreJudgedOnTheFormWindowsUses) {
  const Text pipes[] = {u"\\\\localhost\\pipe.\\x.pdf", u"\\\\localhost\\pipe \\x.pdf", u"\\\\h\\PIPE. .\\x.pdf",
                        u"//h/pipe./x.pdf", u"\\\\h\\pipe.",
                        // mailslots, share roots, and a colon inside the share's name
                        u"\\\\localhost\\mailslot\\x.pdf", u"\\\\h\\MailSlot.\\x.pdf", u"\\\\server\\share.pdf",
                        u"\\\\server\\share.pdf\\", u"\\\\h\\pipe.:x.pdf", u"\\\\h\\pipe:x\\y.pdf"};
  for (const Text& p : pipes) {
    SCOPED_TRACE(ShowText(p));
    EXPECT_TRUE(IsPipeOrDevicePathForm(p));
    EXPECT_EQ(CheckCopyIn(p, T + u"\\b.pdf", T), MalformedKey);
    EXPECT_EQ(CheckExport(T + u"\\a.pdf", p, T), MalformedKey);
  }
  const Text shares[] = {u"\\\\h\\pipes\\x.pdf", u"\\\\h\\.pipe\\x.pdf", u"\\\\h\\pi pe\\x.pdf"};
  for (const Text& p : shares) EXPECT_FALSE(IsPipeOrDevicePathForm(p)) << ShowText(p);
  // Exports to pipes and device namespaces block on whoever serves them.
  EXPECT_EQ(CheckExport(T + u"\\a.pdf", u"\\\\localhost\\pipe\\x.pdf", T), MalformedKey);
}

TEST(PathPolicy, ShellTargets) {
  const OneText cases[] = {
      {u"HTTPS://host/a b", Allow},
      {u"http://host/\"q\"", MalformedKey},
      {u"C:\\docs\\r.PDF", Allow},
      {u"C:r.pdf", Allow},
      {u"\\\\host\\share\\r.htm", Allow},
      {u"docs\\r.TXT", Allow},
      {u"a.html", Allow},
      {u"x.csv", Allow},
      {u"x.xml", Allow},
      {u"ftp://host/r.txt", Allow},
      {u"FTP://host/r.csv", Allow},
      {u"C:\\docs\\r.exe", OutsideSubtree},
      {u"C:\\docs\\r.pdf.exe", OutsideSubtree},
      {u"C:\\docs.pdf\\r", OutsideSubtree},
      {u"readme", OutsideSubtree},
      {u"ftp://host/r.exe", OutsideSubtree},
      {u"\"C:\\r.pdf\"", MalformedKey},
      {u"/r.pdf", MalformedKey},
      {u"-r.pdf", MalformedKey},
      {u"", MalformedKey},
      {Text(u"C:\\r.pdf\0x", 10), MalformedKey},
      // A pipe, a device, a namespace prefix: the classifier tells, whatever the spelling.
      {u"\\\\.\\pipe\\x.txt", MalformedKey},
      {u" \\\\.\\pipe\\x.txt", MalformedKey},
      {u"C:\\docs\\nul.txt", MalformedKey},
      {u"\\\\?\\C:\\docs\\r.pdf", MalformedKey},
      {u"\\??\\pipe\\x.txt", MalformedKey},
  };
  for (const OneText& c : cases) EXPECT_EQ(CheckShellTarget(c.text), c.expected) << ShowText(c.text);
}

// Other schemes go to whatever protocol handler is registered, so a document extension at
// the end of the text says nothing about what would be opened.
TEST(PathPolicy, ShellTargetRefusesSchemesOtherThanFtp) {
  const Text refused[] = {
      u"ms-msdt:/id PCWDiagnostic /skip force x.pdf",
      u"search-ms:query=x&crumb=location:\\\\h\\s\\x.pdf",
      u"shell:startup\\a.pdf",
      u"SHELL:Startup\\a.pdf",
      u"file:///c:/x/calc.exe#.pdf",
      u"http:x.pdf",
      u"ftps://host/r.pdf",
      u"mailto:a@b.pdf",
      u"a1+-.:x.pdf",
      u" ms-msdt:x.pdf",
      u"\tshell:x.pdf",
  };
  for (const Text& t : refused) EXPECT_EQ(CheckShellTarget(t), OutsideSubtree) << ShowText(t);

  // Not schemes: a drive letter, a colon after a separator.
  const Text allowed[] = {u"C:\\docs\\r.PDF", u"z:/r.txt", u"docs\\a:b.pdf", u"docs/a:b.pdf", u"\\\\h\\s:x.pdf"};
  for (const Text& t : allowed) EXPECT_EQ(CheckShellTarget(t), Allow) << ShowText(t);
}

// The shell runs any text of two or more units before the first ':' without a separator as
// a URL, whatever its characters, and folds some non-ASCII letters to ASCII ones.
TEST(PathPolicy, ShellTargetTakesAnyTextBeforeTheColonAsAScheme) {
  const Text refused[] = {
      u"1x:x.pdf",         u"1ab:x.pdf",  u"+x:x.pdf", u".x:x.pdf", u"x.:x.pdf", u"_x:x.pdf", u"%73hell:x.pdf",
      u"\u017Fhell:x.pdf",  // LATIN SMALL LETTER LONG S, folded to 's'
      u"\u212Aey:x.pdf",    // KELVIN SIGN, folded to 'k'
      u"f\u0131le:x.pdf",   // dotless i
      u"\uFF46tp:x.pdf",    // full-width 'f': not ASCII "ftp"
      u" ftp:x.pdf",       u"ftp :x.pdf", u"12:x.pdf",
  };
  for (const Text& t : refused) EXPECT_EQ(CheckShellTarget(t), OutsideSubtree) << ShowText(t);

  const Text allowed[] = {u"ftp:x.pdf", u"FTP://h/x.txt", u"Ftp:x.csv", u"x:r.pdf", u"1:r.pdf", u"\u017F:r.pdf"};
  for (const Text& t : allowed) EXPECT_EQ(CheckShellTarget(t), Allow) << ShowText(t);
}

// A '"' ends the "%1" of the handler's command line; what follows would reach the browser
// as arguments of its own.
TEST(PathPolicy, ShellTargetRefusesUrlsWithAQuote) {
  const Text refused[] = {
      u"http://host/\" --new-window file:///c:/x",
      u"https://host/a\"b",
      u"HTTP://\"",
      u"http://host/\"",
  };
  for (const Text& t : refused) EXPECT_EQ(CheckShellTarget(t), MalformedKey) << ShowText(t);
  EXPECT_EQ(CheckShellTarget(u"http://host/'q' --x"), Allow);
}

TEST(PathPolicy, ShellTargetLengthIsBounded) {
  const Text url = u"https://host/";
  const Text document = u"C:\\docs\\";
  ASSERT_EQ(MaxShellTargetLength, 900u);
  EXPECT_EQ(CheckShellTarget(url + Text(MaxShellTargetLength - url.size(), u'a')), Allow);
  EXPECT_EQ(CheckShellTarget(url + Text(MaxShellTargetLength + 1 - url.size(), u'a')), MalformedKey);
  EXPECT_EQ(CheckShellTarget(document + Text(MaxShellTargetLength - document.size() - 4, u'a') + u".pdf"), Allow);
  EXPECT_EQ(CheckShellTarget(document + Text(MaxShellTargetLength + 1 - document.size() - 4, u'a') + u".pdf"),
            MalformedKey);
  EXPECT_EQ(CheckShellTarget(url + Text(40000, u'a')), MalformedKey);
}

// URL parsers drop these before (or inside) a scheme, so "\u00A0someapp:" is "someapp:".
TEST(PathPolicy, ShellTargetRefusesInvisibleCharactersBeforeTheColon) {
  const char16_t invisible[] = {0x0001, 0x001F, 0x007F, 0x0080, 0x0085, 0x009F, 0x00A0, 0x1680, 0x2000,
                                0x200B, 0x200F, 0x2028, 0x202E, 0x205F, 0x2060, 0x206F, 0x3000, 0xFEFF};
  for (const char16_t c : invisible) {
    const Text mark(1, c);
    SCOPED_TRACE(static_cast<unsigned>(c));
    EXPECT_EQ(CheckShellTarget(mark + u"someapp:x.pdf"), OutsideSubtree);
    EXPECT_EQ(CheckShellTarget(u"some" + mark + u"app:x.pdf"), OutsideSubtree);
    EXPECT_EQ(CheckShellTarget(u"C" + mark + u":\\docs\\r.pdf"), OutsideSubtree);
    // After the first colon, or with no colon at all, the name is judged as before.
    EXPECT_EQ(CheckShellTarget(u"C:\\docs\\a" + mark + u"b.pdf"), Allow);
    EXPECT_EQ(CheckShellTarget(u"docs\\a" + mark + u"b.pdf"), Allow);
    EXPECT_EQ(CheckShellTarget(u"https://host/a" + mark + u"b"), Allow);
  }
  // Neighbours of the refused ranges are ordinary characters.
  const char16_t ordinary[] = {0x00A1, 0x167F, 0x1FFF, 0x2010, 0x2027, 0x2030, 0x205E, 0x2070, 0x3001, 0xFEFE};
  for (const char16_t c : ordinary) {
    SCOPED_TRACE(static_cast<unsigned>(c));
    EXPECT_EQ(CheckShellTarget(u"docs" + Text(1, c) + u"\\a:b.pdf"), Allow);
  }
}

}  // namespace

namespace {

// Windows drops trailing dots and spaces from a component, so "..." climbs as ".." does and
// ".. " may too; a component of dots and spaces only is refused wherever a path is judged.
// A data file named after a device opens the device: "con" reads the console (the broker
// would wait on it), "nul.txt" swallows a write that answers Success.
TEST(PathPolicy, DataFilesNamedAfterDevicesAreRefused) {
  const Text devices[] = {u"con", u"NUL.txt", u"aux .bin", u"com1.dat", u"conin$", u"sub\\lpt9\\x"};
  for (const Text& d : devices) {
    EXPECT_EQ(CheckAppDataPath(R + u"\\tarnvel\\" + d, R), MalformedKey) << ShowText(d);
  }
  EXPECT_EQ(CheckAppDataPath(R + u"\\tarnvel\\console.txt", R), Allow);
  EXPECT_EQ(CheckAppDataPath(R + u"\\tarnvel\\com10.txt", R), Allow);
}

TEST(PathPolicy, ComponentsOfDotsAndSpacesOnlyAreRefused) {
  const Text climbs[] = {u"..", u"...", u".. ", u"..  ", u". .", u" ..", u".", u"   "};
  for (const Text& c : climbs) {
    SCOPED_TRACE(ShowText(c));
    EXPECT_EQ(CheckAppDataPath(R + u"\\tarnvel\\" + c + u"\\secret.txt", R), MalformedKey);
    EXPECT_EQ(CheckCopyIn(u"C:\\in\\a.png", T + u"\\x\\" + c + u"\\b.png", T), MalformedKey);
    EXPECT_EQ(CheckCopyIn(u"C:\\in\\" + c + u"\\a.png", T + u"\\b.png", T), MalformedKey);
    EXPECT_EQ(CheckExport(T + u"\\x\\" + c + u"\\a.png", u"C:\\out\\a.png", T), MalformedKey);
    EXPECT_EQ(CheckExport(T + u"\\a.png", u"C:\\out\\" + c + u"\\a.png", T), MalformedKey);
  }
  // Dots inside a name, and names that merely start or end with dots, are names.
  EXPECT_EQ(CheckAppDataPath(R + u"\\tarnvel\\...x\\a.b.c", R), Allow);
  EXPECT_EQ(CheckCopyIn(u"C:\\in\\.a\\a.png", T + u"\\x..\\b.png", T), Allow);
  EXPECT_FALSE(HasDotsOnlyComponent(u"c:\\a\\.b\\c."));
  EXPECT_TRUE(HasDotsOnlyComponent(u"c:\\a\\...\\c"));
}

TEST(PathPolicy, DataFolderItselfIsAFirstLevelFolderOfTheRoamingFolder) {
  const Text R = u"C:\\Users\\u\\AppData\\Roaming";
  const struct {
    Text path;
    bool itself;
  } cases[] = {
      {R + u"\\tarnvel", true},
      {R + u"\\Tarnvel0123abcd\\", true},
      {u"c:/users/u/appdata/roaming//TARNVEL", true},
      {R + u"\\tarnvel\\a.bin", false},
      {R + u"\\tarnvel\\sub\\", false},
      {R, false},
      {R + u"x\\tarnvel", false},
      {u"D:\\tarnvel", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsDataFolderItself(c.path, R), c.itself) << ShowText(c.path);
  EXPECT_FALSE(IsDataFolderItself(R + u"\\tarnvel", u""));
}

}  // namespace
