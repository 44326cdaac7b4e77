// pyxo-dialog as scripts meet it: real windows on a private Xvfb display,
// driven by xdotool, answers read from the exit status and standard output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "x_session.h"

namespace {

const std::string program = PYXO_DIALOG;
constexpr std::chrono::seconds kTimeout{60};

struct no_display_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string out;
    const char *warning;  // nullptr: no warning expected
};

program_result run_without_display(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn_options o;
    o.env = {"DISPLAY"};
    return run_program(argv, o);
}

const std::string help_text =
    "*********************************************************\n"
    "pyxo-dialog, dialog boxes for shell scripts, by the pyxo authors, 2026\n"
    "Usage : pyxo-dialog -t <info|error|value|password|yes_no|question>\n"
    "        pyxo-dialog -t value \"text bp 1\" answer \"text bp 2\" answer ...\n"
    "\n"
    "Usage: pyxo-dialog [OPTION...]\n"
    "  -h, --help               Display this help\n"
    "  -t, --type=type          Type of dialog\n"
    "  -m, --message=string     Message to display\n";

const char *const odd = "bad optional arguments number, abort";
const char *const no_button = "This type need at least one button value";

// Standard output is a pipe here, so the ">>> " lines sit in stdio's buffer
// when the argument check ends the process: they must arrive all the same.
TEST(DialogWithoutDisplay, HelpAndArgumentErrors) {
    const no_display_case cases[] = {
        {"help", {"-h"}, 0, help_text, nullptr},
        {"long help", {"--help"}, 0, help_text, nullptr},
        {"help ends the options, nothing echoed", {"a", "-h", "b", "c"}, 0, help_text, nullptr},
        {"odd count with the info kind",
         {"-t", "info", "a", "b", "c"},
         255,
         ">>> a\n>>> b\n>>> c\n",
         odd},
        {"odd count without a kind", {"one"}, 255, ">>> one\n", odd},
        {"odd count with the value kind",
         {"-t", "value", "Go", "1", "Stop"},
         255,
         ">>> Go\n>>> 1\n>>> Stop\n",
         odd},
        {"negative number taken for an option", {"-t", "value", "Go", "-5"}, 255, ">>> Go\n", odd},
        {"toolkit option as two words counts its value",
         {"--display", ":99", "x", "y"},
         255,
         ">>> :99\n>>> x\n>>> y\n",
         odd},
        {"value kind without buttons", {"-t", "value"}, 255, "", no_button},
        {"hidden from -h",
         {"--title=T", "--timeout=9", "--entry-text=e", "-h"},
         0,
         help_text,
         nullptr},
        {"timeout, a word", {"--timeout", "soon"}, 255, "", "bad --timeout \"soon\""},
        {"timeout with a tail", {"--timeout=5s", "a", "b"}, 255, "", "bad --timeout \"5s\""},
        {"timeout of zero", {"--timeout", "0"}, 255, "", "bad --timeout \"0\": give whole"},
        {"timeout too long", {"--timeout", "4294968"}, 255, "", "seconds from 1 to 4294967"},
        {"value kind without buttons, with a message",
         {"-t", "VALUE", "-m", "Pick"},
         255,
         "",
         no_button},
    };
    for (const no_display_case &c : cases) {
        SCOPED_TRACE(c.name);
        program_result r = run_without_display(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        if (c.warning) {
            EXPECT_NE(r.err.find(std::string("WARNING **")), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.err, "");
        }
    }
}

// 1 would be a button's answer: no display is no answer at all.
TEST(DialogWithoutDisplay, ValidArgumentsNeedADisplay) {
    program_result r = run_without_display({"-t", "value", "Newest", "1", "Oldest", "2"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, ">>> Newest\n>>> 1\n>>> Oldest\n>>> 2\n");
    EXPECT_NE(r.err.find("cannot open display: \n"), std::string::npos) << r.err;
    r = run_without_display({"--display=:none", "-m", "hello"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("cannot open display: :none\n"), std::string::npos) << r.err;
}

// What the test does to the window once it is up.
enum class act { key, click_last_button, close, type_then_key };

struct window_case {
    const char *name;
    std::vector<std::string> args;
    act action;
    std::string keys;  // xdotool key names for act::key and act::type_then_key
    std::string text;  // typed before the keys
    int status;
    std::string out;
};

class DialogOnDisplay : public ::testing::Test {
  protected:
    x_session x;

    // Xvfb, openbox and xmessage are installed by the set-up script, so a
    // display that will not come up is a failure, not a reason to skip. On a
    // loaded machine a start can stall; a fresh one usually does not.
    void SetUp() override {
        std::string why;
        for (int attempt = 1; attempt <= 3; attempt++) {
            if (x_session_start(x, why))
                return;
            fprintf(stderr, "private X display, attempt %d: %s\n", attempt, why.c_str());
            x_session_stop(x);
        }
        FAIL() << "no private X display: " << why;
    }
    void TearDown() override {
        x_session_stop(x);
    }

    std::string xdo(const std::vector<std::string> &argv) {
        bool ok = false;
        std::string out = x_session_run(x, argv, ok);
        EXPECT_TRUE(ok) << argv[0] << " " << (argv.size() > 1 ? argv[1] : "") << " failed";
        return out;
    }

    // The dialog's top-level window, once it is mapped.
    std::string window_of(const dialog_run &run) {
        std::string id = xdo({"xdotool", "search", "--sync", "--onlyvisible", "--pid",
                              std::to_string(run.proc.pid)});
        return id.substr(0, id.find('\n'));
    }

    void act_on(const std::string &win, const window_case &c) {
        switch (c.action) {
            case act::close:
                xdo({"wmctrl", "-i", "-c", win});
                return;
            case act::click_last_button: {
                // The action area sits at the bottom right; the last button
                // added is the rightmost one.
                std::string geometry = xdo({"xdotool", "getwindowgeometry", "--shell", win});
                int width = 0, height = 0;
                sscanf(geometry.c_str() + geometry.find("WIDTH="), "WIDTH=%d", &width);
                sscanf(geometry.c_str() + geometry.find("HEIGHT="), "HEIGHT=%d", &height);
                xdo({"xdotool", "mousemove", "--window", win, std::to_string(width - 20),
                     std::to_string(height - 20), "click", "1"});
                return;
            }
            case act::type_then_key:
                xdo({"xdotool", "windowactivate", "--sync", win});
                xdo({"xdotool", "type", "--delay", "20", c.text});
                xdo({"xdotool", "key", c.keys});
                return;
            case act::key:
                xdo({"xdotool", "windowactivate", "--sync", win});
                xdo({"xdotool", "key", c.keys});
                return;
        }
    }

    void run_cases(const std::vector<window_case> &cases) {
        for (const window_case &c : cases) {
            SCOPED_TRACE(c.name);
            dialog_run run = dialog_start(program, c.args, x_session_env(x), x.dir);
            std::string win = window_of(run);
            if (win.empty()) {
                bool ok;
                ADD_FAILURE() << "no window; dialog said: " << read_file(run.err_path)
                              << "\nwindows: "
                              << x_session_run(x, {"xwininfo", "-root", "-tree"}, ok)
                              << "\nopenbox: " << read_file(x.dir + "/openbox.log");
                dialog_wait(run, 0s);
                return;
            }
            act_on(win, c);
            int status = dialog_wait(run, kTimeout);
            EXPECT_EQ(status, c.status) << read_file(run.err_path);
            EXPECT_EQ(read_file(run.out_path), c.out);
        }
    }

    std::string title_of(const std::vector<std::string> &args,
                         const std::vector<std::string> &env_extra = {}) {
        dialog_run run = dialog_start(program, args, x_session_env(x, env_extra), x.dir);
        std::string win = window_of(run);
        std::string title = xdo({"xdotool", "getwindowname", win});
        xdo({"wmctrl", "-i", "-c", win});
        EXPECT_EQ(dialog_wait(run, kTimeout), 255) << read_file(run.err_path);
        return title;
    }
};

TEST_F(DialogOnDisplay, NoArguments) {
    run_cases({
        {"OK", {}, act::key, "Return", "", 251, ""},
        {"closed from the window manager", {}, act::close, "", "", 255, ""},
    });
}

TEST_F(DialogOnDisplay, MessageKinds) {
    run_cases({
        {"info OK", {"-t", "info", "-m", "Done"}, act::key, "alt+o", "", 251, ""},
        {"error Close", {"-t", "error", "-m", "Failed"}, act::key, "alt+c", "", 255, ""},
        {"yes_no Yes", {"-t", "yes_no", "-m", "Go on?"}, act::key, "alt+y", "", 248, ""},
        {"yes_no No", {"-t", "yes_no", "-m", "Go on?"}, act::key, "alt+n", "", 247, ""},
        {"yes_no closed", {"-t", "yes_no"}, act::close, "", "", 255, ""},
        {"-m twice", {"-m", "first", "-m", "second"}, act::key, "alt+o", "", 251, ""},
        {"answered in time", {"-t", "yes_no", "--timeout", "60"}, act::key, "alt+y", "", 248, ""},
        {"even extra words are echoed only",
         {"-m", "x", "a", "b"},
         act::key,
         "Return",
         "",
         251,
         ">>> a\n>>> b\n"},
    });
}

// Each kind is told apart by a button only it has.
TEST_F(DialogOnDisplay, KindWordsIgnoreCase) {
    run_cases({
        {"Yes_No", {"-t", "Yes_No"}, act::key, "alt+y", "", 248, ""},
        {"ERROR", {"-t", "ERROR"}, act::key, "alt+c", "", 255, ""},
        {"INFO", {"-t", "INFO"}, act::key, "alt+o", "", 251, ""},
        {"QuEsTiOn", {"-t", "QuEsTiOn"}, act::type_then_key, "Return", "q", 251, "q"},
        {"unknown word falls back to info", {"-t", "yesno"}, act::key, "alt+o", "", 251, ""},
        {"last word naming a kind wins",
         {"-t", "yes_no", "-t", "nothing"},
         act::key,
         "alt+y",
         "",
         248,
         ""},
    });
}

TEST_F(DialogOnDisplay, ValueButtons) {
    run_cases({
        {"second of two buttons",
         {"-t", "value", "-m", "Size?", "Small", "1", "Large", "2"},
         act::click_last_button,
         "",
         "",
         2,
         ">>> Small\n>>> 1\n>>> Large\n>>> 2\n>>>>>>>>>> Small 1\n>>>>>>>>>> Large 2\n"},
        {"not a number gives 0",
         {"-t", "value", "Go", "abc"},
         act::click_last_button,
         "",
         "",
         0,
         ">>> Go\n>>> abc\n>>>>>>>>>> Go 0\n"},
        {"digits as far as they go",
         {"-t", "value", "Go", " 12abc"},
         act::click_last_button,
         "",
         "",
         12,
         ">>> Go\n>>>  12abc\n>>>>>>>>>> Go 12\n"},
        {"low eight bits",
         {"-t", "value", "Go", "300"},
         act::click_last_button,
         "",
         "",
         44,
         ">>> Go\n>>> 300\n>>>>>>>>>> Go 300\n"},
        {"-5 after a lone --",
         {"-t", "value", "--", "Go", "-5"},
         act::click_last_button,
         "",
         "",
         251,
         ">>> Go\n>>> -5\n>>>>>>>>>> Go -5\n"},
        {"-6 after a lone --",
         {"-t", "value", "--", "Go", "-6"},
         act::click_last_button,
         "",
         "",
         255,
         ">>> Go\n>>> -6\n>>>>>>>>>> Go -6\n"},
        {"-8 is an answer of its own",
         {"-t", "value", "--", "Go", "-8"},
         act::click_last_button,
         "",
         "",
         248,
         ">>> Go\n>>> -8\n>>>>>>>>>> Go -8\n"},
        {"underscore marks a mnemonic",
         {"-t", "value", "_First", "7", "_Second", "9"},
         act::key,
         "alt+f",
         "",
         7,
         ">>> _First\n>>> 7\n>>> _Second\n>>> 9\n>>>>>>>>>> _First 7\n>>>>>>>>>> _Second 9\n"},
        {"closed",
         {"-t", "value", "A", "3"},
         act::close,
         "",
         "",
         255,
         ">>> A\n>>> 3\n>>>>>>>>>> A 3\n"},
    });
}

TEST_F(DialogOnDisplay, TextEntries) {
    std::vector<window_case> cases;
    for (const char *kind : {"password", "question"}) {
        std::string k = kind;
        cases.push_back({"OK",
                         {"-t", k, "-m", "Say"},
                         act::type_then_key,
                         "alt+o",
                         "s3cret word",
                         251,
                         "s3cret word"});
        cases.push_back(
            {"Enter in the entry", {"-t", k}, act::type_then_key, "Return", "abc", 251, "abc"});
        cases.push_back({"Cancel", {"-t", k}, act::type_then_key, "alt+c", "abc", 255, ""});
        cases.push_back({"empty entry, OK", {"-t", k}, act::key, "alt+o", "", 251, ""});
        cases.push_back({"closed", {"-t", k}, act::close, "", "", 255, ""});
        cases.push_back({"--entry-text is the question's alone",
                         {"-t", k, "--entry-text", "draft"},
                         act::key,
                         "Return",
                         "",
                         251,
                         k == "question" ? "draft" : ""});
        cases.push_back({"echoed words come first",
                         {"-t", k, "x", "y"},
                         act::type_then_key,
                         "Return",
                         "%s%n",
                         251,
                         ">>> x\n>>> y\n%s%n"});
    }
    run_cases(cases);
}

// Text typed in the entry is UTF-8 whatever the locale; it must reach the
// script byte for byte, not recoded to '?' for the C locale. The French
// layout has these letters on keys of their own, so xdotool need not remap
// a key while the dialog reads the keyboard.
TEST_F(DialogOnDisplay, TextBeyondAsciiInTheCLocale) {
    xdo({"setxkbmap", "fr"});
    const std::string text = "p\u00e9 \u00e7\u00e0 x";
    run_cases({
        {"password", {"-t", "password"}, act::type_then_key, "Return", text, 251, text},
        {"question", {"-t", "question"}, act::type_then_key, "Return", text, 251, text},
    });
}

// A message full of directives must be shown as it is, not crash the
// program or eat arguments that do not exist.
TEST_F(DialogOnDisplay, MessageWithDirectives) {
    const std::string m = "100%s done %d%n %s%s%s%s";
    run_cases({
        {"info", {"-m", m}, act::key, "alt+o", "", 251, ""},
        {"error", {"-t", "error", "-m", m}, act::key, "alt+c", "", 255, ""},
        {"yes_no", {"-t", "yes_no", "-m", m}, act::key, "alt+y", "", 248, ""},
        {"question", {"-t", "question", "-m", m}, act::key, "Return", "", 251, ""},
        {"value",
         {"-t", "value", "-m", m, "%s", "1"},
         act::click_last_button,
         "",
         "",
         1,
         ">>> %s\n>>> 1\n>>>>>>>>>> %s 1\n"},
    });
}

TEST_F(DialogOnDisplay, Titles) {
    EXPECT_EQ(title_of({"-t", "value", "A", "1"}), "PYXO, question....\n");
    EXPECT_EQ(title_of({"-t", "password"}), "PYXO, password....\n");
    EXPECT_EQ(title_of({"-t", "question"}), "PYXO, Question....\n");
    EXPECT_EQ(title_of({"-t", "info"}), "\n");
    EXPECT_EQ(title_of({"--title", "Mount it?", "-t", "yes_no"}), "Mount it?\n");
    EXPECT_EQ(title_of({"-t", "password", "--title", "Unlock"}), "Unlock\n");
}

// A script that bounds its wait gets the answer of a closed window, no
// typed text, and a word on standard error to tell the two apart.
TEST_F(DialogOnDisplay, TimedOut) {
    dialog_run run =
        dialog_start(program, {"--timeout", "1", "-t", "question", "--entry-text", "x"},
                     x_session_env(x), x.dir);
    ASSERT_FALSE(window_of(run).empty());
    EXPECT_EQ(dialog_wait(run, kTimeout), 255);
    EXPECT_EQ(read_file(run.out_path), "");
    EXPECT_NE(read_file(run.err_path).find("timed out"), std::string::npos);
}

// The display going away under the window is no answer either, whatever
// the buttons would have said.
TEST_F(DialogOnDisplay, LostDisplay) {
    dialog_run run = dialog_start(program, {"-t", "value", "-m", "Which copy?", "Newest", "1"},
                                  x_session_env(x), x.dir);
    ASSERT_FALSE(window_of(run).empty());
    kill(x.xvfb.pid, SIGKILL);
    EXPECT_EQ(dialog_wait(run, kTimeout), 255);
    EXPECT_EQ(read_file(run.out_path), ">>> Newest\n>>> 1\n>>>>>>>>>> Newest 1\n");
    std::string err = read_file(run.err_path);
    EXPECT_NE(err.find("X server " + x.display), std::string::npos) << err;
}

// Typed text that cannot be written is a lost answer, not an OK.
TEST_F(DialogOnDisplay, TypedTextThatCannotBeWritten) {
    for (const char *kind : {"password", "question"}) {
        SCOPED_TRACE(kind);
        dialog_run run = dialog_start(program, {"-t", kind}, x_session_env(x), x.dir, "/dev/full");
        std::string win = window_of(run);
        ASSERT_FALSE(win.empty());
        act_on(win, {"", {}, act::type_then_key, "Return", "s3cret", 0, ""});
        EXPECT_EQ(dialog_wait(run, kTimeout), 255);
        std::string err = read_file(run.err_path);
        EXPECT_NE(err.find("cannot write the typed text: No space left on device"),
                  std::string::npos)
            << err;
    }
}

// In a Latin-1 locale a script reads Latin-1, as long as every character
// typed has a place there; otherwise it gets the text as typed (UTF-8).
TEST_F(DialogOnDisplay, TypedTextInTheLocalesEncoding) {
    temp_dir locales;
    program_result made =
        run_program({"localedef", "-i", "fr_FR", "-f", "ISO-8859-1", locales / "fr_FR.ISO-8859-1"});
    if (!file_exists(locales / "fr_FR.ISO-8859-1/LC_CTYPE"))
        GTEST_SKIP() << "cannot make an ISO 8859-1 locale (package locales): " << made.err;
    xdo({"setxkbmap", "fr"});
    const std::vector<std::string> latin1 = {"LOCPATH=" + locales.path, "LC_ALL=fr_FR.ISO-8859-1"};
    const std::string text = "p\u00e9 \u00e7\u00e0 x", euro = "\u00e9 \u20ac";
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{
             {text, "p\xe9 \xe7\xe0 x"}, {euro, euro}}) {
        SCOPED_TRACE(c.first);
        dialog_run run = dialog_start(program, {"-t", "question"}, x_session_env(x, latin1), x.dir);
        std::string win = window_of(run);
        ASSERT_FALSE(win.empty());
        act_on(win, {"", {}, act::type_then_key, "Return", c.first, 0, ""});
        EXPECT_EQ(dialog_wait(run, kTimeout), 251) << read_file(run.err_path);
        EXPECT_EQ(read_file(run.out_path), c.second);
    }
}

TEST_F(DialogOnDisplay, TranslatedTitle) {
    const std::string catalogue = PYXO_LOCALE_DIR "/fr/LC_MESSAGES/pyxo.mo";
    if (access(catalogue.c_str(), R_OK) != 0)
        GTEST_SKIP() << catalogue << " is not installed (run cmake --install first)";
    EXPECT_EQ(title_of({"-t", "password"}, {"LC_ALL=C.UTF-8", "LANGUAGE=fr"}),
              "PYXO, mot de passe....\n");
    EXPECT_EQ(title_of({"-t", "value", "A", "1"}, {"LC_ALL=C.UTF-8", "LANGUAGE=de"}),
              "PYXO, Auswahl....\n");
}

}  // namespace
