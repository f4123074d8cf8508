// Damaged configuration and language files at start: the window comes up,
// shows at most one message, and never leaves a settings file behind that
// the next start cannot read.
#include "tests/faults/WindowFaults.h"

#include <QPushButton>
#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include <malloc.h>

namespace {

using namespace faults;

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char &c : s)
    c = char(rng() & 0xFF);
  return s;
}

std::string Lines(std::initializer_list<const char *> lines, const char *end) {
  std::string s;
  for (const char *l : lines)
    s += std::string(l) + end;
  return s;
}

class DamagedFiles : public WindowFaults {
protected:
  void SetUp() override {
    // Every port the files may name is missing, so no real device takes part.
    for (int n = 0; n <= 50; ++n)
      fs::create_symlink(dir / "no-such-device", dir / ("COM" + std::to_string(n)));
  }
  // Starts and ends the window once; returns its complaints.
  std::vector<Box> StartAndEnd() {
    boxes.clear();
    Create();
    form->close();
    form.reset();
    return Complaints();
  }
};

TEST_F(DamagedFiles, ConfigurationFile) {
  const std::string longDigits(100000, '7');
  const std::string longCode(200000, 'Q');
  struct Case {
    const char *name;
    std::string content;
    bool loads; // read without a message
  } cases[] = {
      {"empty", "", false},
      {"truncated", "1\r\nEN\r\n10", false},
      {"truncated inside a line end", Lines({"1", "EN", "1000", "10", "0", "0", "1", "50", "50"}, "\r\n").substr(0, 27),
       false},
      {"binary", RandomBytes(4096, 7), false},
      {"binary with zero bytes", std::string("1\0\r\n\0EN\r\n", 9) + RandomBytes(64, 3), false},
      {"very long number", "1\r\nEN\r\n" + longDigits + "\r\n10\r\n0\r\n0\r\n1\r\n50\r\n50\r\n", false},
      {"very long language code", "1\r\n" + longCode + "\r\n1000\r\n10\r\n0\r\n0\r\n1\r\n50\r\n50\r\n", true},
      {"CR-only line ends", Lines({"1", "EN", "2000", "10", "33", "44", "1", "60", "70"}, "\r"), true},
      {"LF-only line ends", Lines({"1", "EN", "2000", "10", "33", "44", "1", "60", "70"}, "\n"), true},
      {"extra lines", Lines({"1", "EN", "2000", "10", "33", "44", "1", "60", "70", "junk", "\x01\x02"}, "\r\n"), true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetConfig(c.content);
    const std::vector<Box> shown = StartAndEnd();
    // A file that does not load: one message at start, one each when the
    // window is closed and destroyed (nothing to save), and the file stays.
    EXPECT_LE(shown.size(), c.loads ? 0u : 3u);
    for (const Box &b : shown)
      EXPECT_FALSE(b.text.isEmpty());
    const std::string after = Config();
    if (!c.loads) {
      EXPECT_EQ(after, c.content) << "a file that did not load was overwritten";
      continue;
    }
    // What the window saved must start the next window without a word.
    const std::vector<Box> again = StartAndEnd();
    EXPECT_TRUE(again.empty()) << "the saved file does not load: "
                               << (again.empty() ? "" : again[0].text.toStdString());
    EXPECT_EQ(Config(), after) << "a clean start and end changed the file";
  }
}

TEST_F(DamagedFiles, LineEndsDoNotChangeTheSettings) {
  for (const char *end : {"\r", "\n", "\r\n"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(end)));
    SetConfig(Lines({"3", "DE", "2000", "10", "33", "44", "1", "60", "70"}, end));
    boxes.clear();
    Create();
    EXPECT_TRUE(Complaints().empty());
    EXPECT_EQ(form->LanguageCode, "DE");
    EXPECT_EQ(form->PollInterval, 2000);
    EXPECT_EQ(form->ParkPosition1, 33);
    EXPECT_EQ(form->ParkPosition2, 44);
    EXPECT_EQ(form->Button1->text(), "Ende");
    form.reset();
  }
}

TEST_F(DamagedFiles, LanguageFile) {
  const std::string good = ReadFile(DataDir() + "/Zelkor_M_language.csv");
  const std::string longText = "DE;02;" + std::string(50000, 'x') + "\r\n";
  struct Case {
    const char *name;
    std::string content;
    const char *exitCaption; // nullptr: anything but empty
  } cases[] = {
      {"empty", "", nullptr},
      {"truncated", good.substr(0, good.size() / 2), nullptr},
      {"cut inside the code", "DE;02;Ende\r\nD", "Ende"},
      {"binary", RandomBytes(8192, 11), nullptr},
      {"very long text", longText, nullptr},
      {"CR-only line ends", "DE;01;Sprache\rDE;02;Ende\rDE;05;Manuell\r", "Ende"},
      {"no separators", "DE02Ende\r\nDE\r\n;;\r\n", nullptr},
      {"number out of range", "DE;99;x\r\nDE;-1;y\r\nDE;02;Ende\r\n", "Ende"},
      {"zero bytes", std::string("DE;02;E\0de\r\n", 12), nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetConfig(Lines({"3", "DE", "1000", "10", "0", "0", "1", "50", "50"}, "\r\n"));
    WriteFile(dir / "Zelkor_M_language.csv", c.content);
    boxes.clear();
    Create();
    EXPECT_LE(Complaints().size(), 1u);
    const QString caption = form->Button1->text();
    if (c.exitCaption) {
      EXPECT_EQ(caption, c.exitCaption);
    }
    EXPECT_LE(caption.size(), 100);
    // The settings file is not touched by a language file's damage.
    form->close();
    form.reset();
    EXPECT_EQ(Config(), Lines({"3", "DE", "1000", "10", "0", "0", "1", "50", "50"}, "\r\n"));
  }
}

#if !defined(ZK_SANITIZED)
// What this program holds through operator new, now and at its peak since
// the last reset. Resident memory would not do: on a busy machine the
// kernel drops and reloads the pages of the libraries, which swamps what
// is measured here. (The sanitizers bring their own operator new.)
std::atomic<size_t> heapNow{0};
std::atomic<size_t> heapPeak{0};

void *Take(size_t n) {
  void *p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr)
    throw std::bad_alloc();
  const size_t now = heapNow.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  size_t peak = heapPeak.load();
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
  }
  return p;
}

void Give(void *p) {
  if (p == nullptr)
    return;
  heapNow.fetch_sub(malloc_usable_size(p));
  std::free(p);
}

size_t ResetHeapPeak() {
  heapPeak.store(heapNow.load());
  return heapPeak.load();
}
#endif

// A 10 MB line in either file: the window shows, a message quotes no more
// than the line's start, and reading costs memory far below the line's size.
TEST_F(DamagedFiles, TenMegabyteLines) {
  const std::string huge(10'000'000, '7');
  const std::string text(10'000'000, 'x');
  const std::string good = Lines({"3", "DE", "1000", "10", "0", "0", "1", "50", "50"}, "\r\n");
  struct Case {
    const char *name;
    std::string config;
    std::string language;
    const char *complaint; // nullptr: none
  } cases[] = {
      {"a number line", "3\r\nDE\r\n" + huge + "\r\n10\r\n0\r\n0\r\n1\r\n50\r\n50\r\n", "DE;02;Ende\r\n",
       "'7777777777777777777777777777777777777777777777777777777777777777777777777777777777777777777777777777"
       "...' ist kein gültiger Integerwert."},
      {"the last line", "3\r\nDE\r\n1000\r\n10\r\n0\r\n0\r\n1\r\n50\r\n" + huge, "DE;02;Ende\r\n",
       "'7777777777777777777777777777777777777777777777777777777777777777777777777777777777777777777777777777"
       "...' ist kein gültiger Integerwert."},
      {"the language code", "3\r\n" + text + "\r\n1000\r\n10\r\n0\r\n0\r\n1\r\n50\r\n50\r\n", "DE;02;Ende\r\n",
       nullptr},
      {"a language text", good, "DE;02;" + text + "\r\nDE;05;Hand\r\n", nullptr},
      {"a language line with a bad number", good, "DE;ab;" + text + "\r\n", "'ab' ist kein gültiger Integerwert."},
      {"ten million line ends", good, std::string(10'000'000, '\n') + "DE;02;Ende\r\n", nullptr},
  };
  // A first window fills the toolkit's caches, so they do not count below.
  SetConfig(good);
  Create();
  form.reset();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetConfig(c.config);
    WriteFile(dir / "Zelkor_M_language.csv", c.language);
    boxes.clear();
#if !defined(ZK_SANITIZED)
    const size_t before = ResetHeapPeak();
#endif
    Create();
#if !defined(ZK_SANITIZED)
    // Holding the line, or every line, would take 10 MB and more.
    EXPECT_LT(heapPeak.load(), before + (size_t(2) << 20))
        << "held " << ((heapPeak.load() - before) >> 10) << " kB more while starting";
#endif
    EXPECT_TRUE(form->isVisible());
    const std::vector<Box> shown = Complaints();
    if (c.complaint) {
      ASSERT_EQ(shown.size(), 1u);
      EXPECT_EQ(shown[0].text, QString::fromUtf8(c.complaint));
    } else {
      EXPECT_TRUE(shown.empty()) << shown[0].text.left(200).toStdString();
    }
    for (const Box &b : boxes)
      EXPECT_LE(b.text.size(), 200);
    for (const QString &t : form->LanguageTexts)
      EXPECT_LE(t.size(), 100);
    form->close();
    form.reset();
    if (c.complaint) {
      EXPECT_EQ(Config(), c.config) << "a file that did not load was overwritten";
    }
  }
}

} // namespace

#if !defined(ZK_SANITIZED)
void *operator new(size_t n) { return Take(n); }
void *operator new[](size_t n) { return Take(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept {
  try {
    return Take(n);
  } catch (...) {
    return nullptr;
  }
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
  try {
    return Take(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void *p) noexcept { Give(p); }
void operator delete[](void *p) noexcept { Give(p); }
void operator delete(void *p, size_t) noexcept { Give(p); }
void operator delete[](void *p, size_t) noexcept { Give(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { Give(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { Give(p); }
#endif
