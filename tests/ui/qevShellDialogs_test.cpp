// The message box on the screen: its buttons, keys, close box, width rules and the text
// Ctrl+C copies, driven through Win32 messages inside its own modal loop.
#include "ui/qevShellDialogs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "tests/support/vrnWindowDriver.h"

namespace {

// What a test saw of a box.
struct TBoxSeen {
  std::vector<std::wstring> Captions;
  std::vector<HWND> Buttons;
  int DefaultIndex = -1;
  bool CloseGrayed = false;
  SIZE Client{};
  std::wstring Copied;
};

BOOL CALLBACK CollectButton(HWND child, LPARAM seen) {
  auto* box = reinterpret_cast<TBoxSeen*>(seen);
  const LONG_PTR type = ::GetWindowLongPtrW(child, GWL_STYLE) & BS_TYPEMASK;
  if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) {
    if (type == BS_DEFPUSHBUTTON) {
      box->DefaultIndex = static_cast<int>(box->Buttons.size());
    }
    box->Buttons.push_back(child);
    box->Captions.push_back(TextOf(child));
  }
  return TRUE;
}

// A step that records the box's buttons, close box and size.
TModalStep Inspect(TBoxSeen& seen) {
  return [&seen](HWND box) {
    seen = TBoxSeen{};
    ::EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&seen));
    seen.CloseGrayed =
        (::GetMenuState(::GetSystemMenu(box, FALSE), SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED) != 0;
    RECT client{};
    ::GetClientRect(box, &client);
    seen.Client = SIZE{client.right, client.bottom};
    return true;
  };
}

// A step that presses Ctrl+C in the box, and one that waits for the copied text.
TModalStep PressCopy() {
  return [](HWND box) {
    ClearClipboard();
    PostKey(FocusIn(box), 'C', true);
    return true;
  };
}
TModalStep TakeCopied(TBoxSeen& seen) {
  return [&seen](HWND) {
    seen.Copied = ClipboardText();
    return !seen.Copied.empty();
  };
}
// A step that presses Key in the box.
TModalStep Press(UINT key) {
  return [key](HWND box) {
    PostKey(FocusIn(box), key);
    return true;
  };
}
// A step that clicks the button of index Index.
TModalStep Click(TBoxSeen& seen, std::size_t index) {
  return [&seen, index](HWND) {
    ::PostMessageW(seen.Buttons.at(index), BM_CLICK, 0, 0);
    return true;
  };
}

// Shows a box with Flags and Content, playing Steps; the result.
int ShowBox(UINT flags,
            const std::wstring& content,
            std::vector<TModalStep> steps,
            std::size_t* stepsRun = nullptr) {
  int result = -1;
  const std::size_t count = steps.size();
  std::size_t run = WhileModal(kMessageBoxClassName, std::move(steps), [&] {
    result = ShowMessageBoxForm(nullptr, nullptr, L"", content, L"Box", L"", flags);
  });
  if (stepsRun != nullptr) {
    *stepsRun = run;
  }
  EXPECT_EQ(run, count) << "the box did not take every step";
  return result;
}

// The width of N average characters of the system message font.
int MessageFontChars(double n) {
  TqevFont font = CreateMessageFont();
  return TqevFontUnits::Measure(font.Get()).Chars(n);
}

// A window that counts WM_HELP.
int gHelpCount = 0;
LRESULT CALLBACK HelpOwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_HELP) {
    const auto* info = reinterpret_cast<const HELPINFO*>(lParam);
    if (info->cbSize == sizeof(HELPINFO) && info->iContextType == HELPINFO_WINDOW) {
      ++gHelpCount;
    }
    return TRUE;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

TEST(MessageBoxForm, EachButtonOfEverySetReturnsItsCode) {
  struct TCase {
    UINT Set;
    std::vector<int> Results;
  };
  const TCase cases[] = {
      {0, {IDOK}},
      {1, {IDOK, IDCANCEL}},
      {2, {IDABORT, IDRETRY, IDIGNORE}},
      {3, {IDYES, IDNO, IDCANCEL}},
      {4, {IDYES, IDNO}},
      {5, {IDRETRY, IDCANCEL}},
      {6, {IDIGNORE, IDCANCEL}},
      {7, {IDRETRY, IDIGNORE, IDCANCEL}},
  };
  for (const TCase& c : cases) {
    for (std::size_t i = 0; i < c.Results.size(); ++i) {
      TBoxSeen seen;
      const int result = ShowBox(c.Set, L"Which one?", {Inspect(seen), Click(seen, i)});
      EXPECT_EQ(seen.Buttons.size(), c.Results.size()) << "set " << c.Set;
      EXPECT_EQ(result, c.Results[i]) << "set " << c.Set << ", button " << i;
    }
  }
}

TEST(MessageBoxForm, YesNoCancelWithTheSecondDefault) {
  TBoxSeen seen;
  EXPECT_EQ(ShowBox(MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2, L"Save?",
                    {Inspect(seen), Press(VK_ESCAPE)}),
            IDCANCEL);
  ASSERT_EQ(seen.Captions.size(), 3u);
  EXPECT_EQ(seen.Captions[0], L"&Yes");
  EXPECT_EQ(seen.Captions[1], L"&No");
  EXPECT_EQ(seen.Captions[2], L"Cancel");
  EXPECT_EQ(seen.DefaultIndex, 1);
  EXPECT_FALSE(seen.CloseGrayed);
  // Enter presses the default button, or the one Tab moved to.
  EXPECT_EQ(ShowBox(MB_YESNOCANCEL | MB_DEFBUTTON2, L"Save?", {Press(VK_RETURN)}), IDNO);
  EXPECT_EQ(ShowBox(MB_YESNOCANCEL | MB_DEFBUTTON2, L"Save?", {Press(VK_TAB), Press(VK_RETURN)}),
            IDCANCEL);
}

TEST(MessageBoxForm, AbortRetryIgnoreCannotBeClosed) {
  TBoxSeen seen;
  bool stillThere = false;
  auto closeAttempts = [](HWND box) {
    PostKey(FocusIn(box), VK_ESCAPE);
    ::PostMessageW(box, WM_CLOSE, 0, 0);
    ::PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    return true;
  };
  auto checkOpen = [&stillThere](HWND box) {
    PumpFor(std::chrono::milliseconds(200));
    stillThere = ::IsWindowVisible(box) != FALSE;
    return true;
  };
  EXPECT_EQ(ShowBox(MB_ABORTRETRYIGNORE | MB_ICONERROR, L"The disk is not ready.",
                    {Inspect(seen), closeAttempts, checkOpen, Click(seen, 1)}),
            IDRETRY);
  EXPECT_TRUE(seen.CloseGrayed);
  EXPECT_TRUE(stillThere) << "Esc or the close box ended a box that has no Cancel";
  EXPECT_EQ(seen.DefaultIndex, 0);
}

TEST(MessageBoxForm, OkAloneAnswersOneToEnterAndEsc) {
  for (UINT key : {VK_RETURN, VK_ESCAPE}) {
    TBoxSeen seen;
    EXPECT_EQ(ShowBox(MB_OK | MB_ICONWARNING, L"Done.", {Inspect(seen), Press(key)}), IDOK)
        << "key " << key;
    EXPECT_FALSE(seen.CloseGrayed);
    ASSERT_EQ(seen.Captions.size(), 1u);
    EXPECT_EQ(seen.Captions[0], L"OK");
  }
}

TEST(MessageBoxForm, WidthIs75CharactersOrHalfTheWorkAreaForLongText) {
  TBoxSeen shortBox;
  ShowBox(MB_OK, L"Short.", {Inspect(shortBox), Press(VK_RETURN)});
  EXPECT_EQ(shortBox.Client.cx, MessageFontChars(75));

  RECT work{};
  ASSERT_TRUE(MonitorWorkArea(nullptr, work));
  std::wstring longText;
  while (longText.size() < 300) {
    longText += L"word" + std::to_wstring(longText.size()) + L" ";
  }
  longText.resize(300);
  TBoxSeen longBox;
  ShowBox(MB_OK | MB_ICONINFORMATION, longText, {Inspect(longBox), Press(VK_RETURN)});
  EXPECT_EQ(longBox.Client.cx, (work.right - work.left) / 2);
  EXPECT_GT(longBox.Client.cy, shortBox.Client.cy) << "300 characters did not wrap";
}

TEST(MessageBoxForm, CopiesTitleInstructionBlocksVerificationAndButtons) {
  WNDCLASSW cls{};
  cls.lpfnWndProc = HelpOwnerProc;
  cls.hInstance = ::GetModuleHandleW(nullptr);
  cls.lpszClassName = L"VrnHelpOwner";
  ::RegisterClassW(&cls);
  HWND owner = ::CreateWindowExW(0, L"VrnHelpOwner", L"Owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                 nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(owner, nullptr);
  gHelpCount = 0;

  TBoxSeen seen;
  bool helpKeptOpen = false;
  bool checked = false;
  auto tickVerification = [](HWND box) {
    ::PostMessageW(::GetDlgItem(box, 99), BM_CLICK, 0, 0);
    return true;
  };
  auto checkHelp = [&helpKeptOpen](HWND box) {
    PumpFor(std::chrono::milliseconds(100));
    helpKeptOpen = ::IsWindowVisible(box) != FALSE;
    return true;
  };
  int result = 0;
  const std::size_t steps =
      WhileModal(kMessageBoxClassName,
                 {Inspect(seen), PressCopy(), TakeCopied(seen), tickVerification, Click(seen, 2),
                  checkHelp, Press(VK_ESCAPE)},
                 [&] {
                   result = ShowMessageBoxForm(
                       nullptr, owner, L"Main &instruction",
                       L"First\r\nsecond line\r\n\x01\r\nNext block\n\x02 dropped", L"Caption",
                       L"Do not ask again", MB_OKCANCEL | MB_HELP | MB_ICONINFORMATION, &checked);
                 });
  ::DestroyWindow(owner);
  EXPECT_EQ(steps, 7u);
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_TRUE(checked);
  EXPECT_EQ(gHelpCount, 1);
  EXPECT_TRUE(helpKeptOpen);
  ASSERT_EQ(seen.Captions.size(), 3u);
  std::wstring help = seen.Captions[2];
  help.erase(std::remove(help.begin(), help.end(), L'&'), help.end());
  EXPECT_EQ(seen.Copied,
            L"[Window Title]\r\nCaption\r\n\r\n[Content]\r\nMain &instruction\r\n"
            L"First\r\nsecond line\r\n" +
                std::wstring(40, L'-') +
                L"\r\nNext block\r\n\r\nDo not ask again\r\n\r\n[OK] [Cancel] [" + help + L"]\r\n");
}

TEST(MessageBoxForm, SplitsContentIntoBlocksAtControlLines) {
  using Blocks = std::vector<std::wstring>;
  EXPECT_EQ(TqevShellMessageBoxForm::SplitBlocks(L"one\r\n\r\ntwo"), Blocks{L"one\r\n\r\ntwo"});
  EXPECT_EQ(TqevShellMessageBoxForm::SplitBlocks(L"\x01\r\none\r\n\x02x\r\n\x01\r\ntwo"),
            (Blocks{L"one", L"two"}));
  EXPECT_EQ(TqevShellMessageBoxForm::SplitBlocks(L""), Blocks{});
}

// A text with tabs is measured as it is drawn: tabs expanded to their stops and the lines
// broken within the text column. The box leaves the text exactly the height the drawn
// text takes, neither cutting its last lines nor leaving a gap.
TEST(MessageBoxForm, MeasuresATextWithTabsAsItDrawsIt) {
  std::wstring content;
  for (int i = 0; i < 40; ++i) {
    content += L"Name " + std::to_wstring(i) + L":\tphotos\t2024\t12 KiB\t";
  }
  TBoxSeen seen;
  RECT button{};
  ShowBox(MB_OK, content,
          {Inspect(seen),
           [&seen, &button](HWND) {
             button = ChildRect(seen.Buttons.at(0));
             return true;
           },
           Press(VK_RETURN)});

  TqevFont font = CreateMessageFont();
  const TqevFontUnits units = TqevFontUnits::Measure(font.Get());
  const int column = seen.Client.cx - 2 * units.Mx();  // no icon: the column is within the margins
  auto measure = [&](UINT format) {
    HDC dc = ::GetDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, font.Get());
    RECT rect{0, 0, column, 0};
    ::DrawTextW(dc, content.c_str(), static_cast<int>(content.size()), &rect, DT_CALCRECT | format);
    ::SelectObject(dc, old);
    ::ReleaseDC(nullptr, dc);
    return static_cast<int>(rect.bottom - rect.top);
  };
  // How the box draws its texts.
  constexpr UINT kDrawn = DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_EXPANDTABS;
  const int drawnHeight = measure(kDrawn);
  ASSERT_GT(drawnHeight, measure(kDrawn & ~DT_EXPANDTABS))
      << "with this text, expanded tabs take no more lines; the test would show nothing";
  // From the top: My, the text, My, the footer's separator line, My, the button row.
  EXPECT_EQ(button.top - 1 - 3 * units.My(), drawnHeight);
}

// Moved to a monitor of 144 dpi: the box takes the font of that DPI, its width in the new
// units, and the place the system suggests.
TEST(MessageBoxForm, FollowsADpiChange) {
  TBoxSeen seen;
  RECT frame{};
  int buttonFontHeight = 0;
  RECT suggested{60, 40, 700, 400};
  ShowBox(MB_OK | MB_ICONWARNING, L"Short.",
          {[&suggested](HWND box) {
             ::SendMessageW(box, WM_DPICHANGED, MAKEWPARAM(144, 144),
                            reinterpret_cast<LPARAM>(&suggested));
             return true;
           },
           Inspect(seen),
           [&](HWND box) {
             ::GetWindowRect(box, &frame);
             LOGFONTW log{};
             ::GetObjectW(
                 reinterpret_cast<HFONT>(::SendMessageW(seen.Buttons.at(0), WM_GETFONT, 0, 0)),
                 sizeof(log), &log);
             buttonFontHeight = std::abs(log.lfHeight);
             return true;
           },
           Press(VK_RETURN)});
  TqevFont font144 = CreateMessageFont(1, 0, 144);
  EXPECT_EQ(buttonFontHeight, MessageFontHeight(144));
  EXPECT_EQ(MessageFontHeight(144), ::MulDiv(MessageFontHeight(), 144, 96));
  EXPECT_EQ(seen.Client.cx, TqevFontUnits::Measure(font144.Get()).Chars(75));
  EXPECT_EQ(frame.left, suggested.left);
  EXPECT_EQ(frame.top, suggested.top);
}
