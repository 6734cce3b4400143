#include "run_script.hpp"

#include "../core/printable_text.hpp"
#include "../core/text.hpp"
#include "../core/escape_reader.hpp"

namespace termloom::pane_ops {
namespace {

constexpr std::string_view kMarker = "\\033]6973;";  // as printf writes ESC ] 6973 ;
constexpr std::string_view kBel = "\\007";

// How our own lines call a builtin past aliases and functions.
std::string builtin(std::string_view shell) { return shell == "zsh" ? "\\builtin " : "\\command "; }

bool is_mksh(std::string_view shell) { return shell == "mksh" || shell == "lksh"; }
bool is_ksh93(std::string_view shell) { return shell == "ksh" || shell == "ksh93"; }
// bash and zsh drop the rest of what they run at Ctrl-C, whatever trap is
// set (with job control), and go back to the prompt.
bool aborts_at_interrupt(std::string_view shell) { return shell == "bash" || shell == "zsh"; }

// Whether the shell writes the trace of -x to the stderr of the command
// traced, so that our lines' traces can be thrown away: zsh, ksh93, mksh and
// posh write it elsewhere, and trace the redirection itself.
bool traces_follow_stderr(std::string_view shell) {
    return shell == "bash" || shell == "dash" || shell == "sh" || shell == "ash" ||
           shell == "busybox";
}

// Prints `escaped` (printf's backslash escapes, no "%"), then `text` as it
// is. mksh has no printf of its own: its print.
std::string print(std::string_view shell, std::string_view escaped, std::string_view text = {}) {
    const std::string c = builtin(shell);
    if (is_mksh(shell)) {
        std::string out = c + "print -n -- '" + std::string(escaped) + "'";
        if (!text.empty()) out += ";" + c + "print -nr -- " + shell_quoted(text);
        return out;
    }
    if (text.empty()) return c + "printf '" + std::string(escaped) + "'";
    return c + "printf '" + std::string(escaped) + "%s' " + shell_quoted(text);
}

// The caller's command in one line that fits in `columns`: its first line,
// control characters as "?", cut with "…" when it is longer or goes on.
std::string summary(std::string_view command, std::uint32_t columns) {
    std::string_view first = command.substr(0, command.find('\n'));
    const bool more = first.size() < command.size();
    std::string out;
    std::uint32_t used = 0;
    bool cut = false;
    const CharacterWidths widths;
    struct Collect {
        std::string& out;
        std::uint32_t& used;
        bool& cut;
        const CharacterWidths& widths;
        std::uint32_t limit;
        void add(std::string_view text, int width) {
            if (cut) return;
            if (used + static_cast<std::uint32_t>(width) > limit) {
                cut = true;
                return;
            }
            out.append(text);
            used += static_cast<std::uint32_t>(width);
        }
        void print(std::string_view utf8, char32_t c) { add(utf8, widths.columns(c)); }
        void control(char) { add("?", 1); }
        void csi(char, std::string_view, char, bool) { add("?", 1); }
        void escape(char, char) { add("?", 1); }
    };
    const std::uint32_t room = columns > 2 ? columns - 2 : 1;
    Collect collect{out, used, cut, widths, room};
    EscapeReader reader;
    reader.feed(first, collect);
    reader.finish(collect);
    if (cut || more) out += " \xE2\x80\xA6";  // " …"
    return out;
}

// Cursor up over the typed line's rows, back to where it began, and the
// rest of the screen erased.
std::string erase_typed(const RunScript& script, std::size_t typed_length) {
    const std::uint64_t width = script.width > 0 ? script.width : 1;
    const std::uint64_t rows = 1 + (script.cursor_x + typed_length - 1) / width;
    std::string out = "\\033[" + std::to_string(rows) + "A\\r";
    if (script.cursor_x > 0) out += "\\033[" + std::to_string(script.cursor_x) + "C";
    out += "\\033[J";
    return out;
}

}  // namespace

std::string summary_line(const RunScript& script) {
    const std::uint32_t room = script.width > script.cursor_x ? script.width - script.cursor_x : 1;
    return summary(script.command, room);
}

std::string run_channel(std::string_view digits) { return "termloom-" + std::string(digits); }
std::string run_option(std::string_view digits) { return "@termloom-status-" + std::string(digits); }

std::string start_marker(std::string_view digits) {
    return "\x1b]6973;tl" + std::string(digits) + "+\x07";
}
std::string end_marker_prefix(std::string_view digits) {
    return "\x1b]6973;tl" + std::string(digits) + "=";
}
std::string unread_marker(std::string_view digits) {
    return "\x1b]6973;tl" + std::string(digits) + "f\x07";
}
std::string untold_marker(std::string_view digits) {
    return "\x1b]6973;tl" + std::string(digits) + "n\x07";
}

std::string typed_line(const RunScript& script, std::string_view wrapper_path) {
    const std::string c = builtin(script.shell);
    // Letters and digits only in the marker's words: no quoting, no history
    // expansion ("!"), whatever the shell.
    std::string unread = is_mksh(script.shell)
                             ? c + "print -n -- \"\\033]6973;tl" + script.digits + "f\\007\""
                             : c + "printf \"\\033]6973;%s\\007\" tl" + script.digits + "f";
    // bash reads the wrapper and evals it rather than sourcing it: a parse
    // error inside a file it sources (the command's "echo $(") leaves its
    // parser broken, and the next string it parses writes outside its memory.
    const std::string run_wrapper =
        script.shell == "bash"
            ? "IFS= \\builtin read -r -d \"\" __tl_w <" + std::string(wrapper_path) + ";\\builtin eval \"$__tl_w\""
            : c + ". " + std::string(wrapper_path);
    return "__tl_q=$? __tl_s=F;" + run_wrapper + ";case $__tl_s in 0)" + c +
           "unset __tl_s;;F)" + unread + ";;*)" + c + "eval \"" + c +
           "unset __tl_s;(exit $__tl_s)\";;esac";
}

namespace {

// The end: the status (with ksh93's 256+N as 128+N), the end marker, tmux
// told, the caller's flags back, our names gone. `__tl_s` holds the status.
std::string end_step(const RunScript& script) {
    const std::string& shell = script.shell;
    const std::string c = builtin(shell);
    const std::string marker = std::string(kMarker) + "tl" + script.digits;
    std::string out = "__tl_g=$-${__tl_f-};";
    if (!aborts_at_interrupt(shell)) out += c + "trap - INT;";
    out += c + "set +xv;";
    if (is_ksh93(shell)) out += "__tl_s=${__tl_k-$__tl_s};" + c + "unset __tl_k;";
    out += "case $__tl_s in 25[7-9]|2[6-9][0-9]|3[0-9][0-9])__tl_s=$((__tl_s-128));;esac;";
    if (is_mksh(shell)) {
        out += c + "print -n -- \"" + marker + "=$__tl_s" + std::string(kBel) + "\";";
    } else {
        out += c + "printf '" + marker + "=%s" + std::string(kBel) + "' \"$__tl_s\";";
    }
    out += shell_quoted(script.tmux) + " -S " + shell_quoted(script.socket) + " set-option -p -t " +
           script.pane_id + " " + run_option(script.digits) + " \"$__tl_s\" \\; set-option -p -u -t " +
           script.pane_id + " @termloom-run \\; wait-for -S " + run_channel(script.digits) +
           " </dev/null >/dev/null 2>&1||" + print(shell, marker + "n" + std::string(kBel)) + ";";
    if (shell == "bash") out += "__tl_done=1;";  // the prompt hook then only tidies up
    if (shell == "zsh") out += "precmd_functions=(${precmd_functions:#__tl_hook});";
    out += "case $__tl_g in *v*)" + c + "set -v;;esac;";
    out += "case $__tl_g in *x*)" + c + "set -x;;esac;";
    out += c + "unset __tl_f __tl_g __tl_q" + std::string(shell == "bash" ? " __tl_c __tl_w" : "") + ";";
    return out;
}

}  // namespace

std::string wrapper_text(const RunScript& script, std::string_view command_path,
                         std::string_view typed) {
    const std::string& shell = script.shell;
    const std::string c = builtin(shell);
    const std::string marker = std::string(kMarker) + "tl" + script.digits;
    std::string out = "{ __tl_f=$-;" + c + "set +xv;";
    if (shell == "bash") {
        // Ctrl-C (or a child killed by SIGINT) makes bash drop the rest of
        // what it runs and go back to its prompt. So the end is also told
        // from PROMPT_COMMAND, which runs at that prompt in any case: it
        // ends the run if the wrapper could not, then puts the caller's
        // command in the history in the place of the typed line (deleting
        // the entry of the line still running corrupts bash's memory: only
        // now is it done), puts PROMPT_COMMAND back as it was (declared in a
        // function, it would be local: -g) and runs it.
        out += "__tl_end(){ " + end_step(script) + "};";
        out += "__tl_h=$HISTCMD __tl_cmd=" + shell_quoted(script.command) + " __tl_done=;";
        out += "__tl_pcd=$(\\builtin declare -p PROMPT_COMMAND 2>/dev/null);";
        out += "PROMPT_COMMAND='{ __tl_s=$?;case $__tl_done in 1);;*)__tl_end;;esac;\\builtin unset -f __tl_end;"
               "\\builtin shopt -qo history&&case $HISTCMD in $((__tl_h+1)))\\builtin history -d $__tl_h;"
               "\\builtin history -s \"$__tl_cmd\";;esac;"
               "if [ -n \"$__tl_pcd\" ];then \\builtin eval \"${__tl_pcd/declare /declare -g }\";"
               "else \\builtin unset PROMPT_COMMAND;fi;"
               "\\builtin unset __tl_s __tl_h __tl_cmd __tl_done __tl_pcd;} 2>/dev/null;"
               "for __tl_c in \"${PROMPT_COMMAND[@]}\";do \\builtin eval \"$__tl_c\";done;"
               "\\builtin unset __tl_c';";
    } else if (shell == "zsh") {
        // Likewise for zsh, from a precmd hook.
        out += "__tl_end(){ " + end_step(script) + "};";
        out += "__tl_hook(){ { __tl_s=$?;__tl_end;\\builtin unset __tl_s;"
               "\\builtin unfunction __tl_end __tl_hook;} 2>/dev/null;};";
        out += "precmd_functions+=(__tl_hook);";
    }
    out += print(shell, erase_typed(script, typed.size()), summary_line(script)) + ";";
    out += print(shell, "\\r\\n" + marker + "+" + std::string(kBel)) + ";";
    // The other shells run an INT trap after such a child or at Ctrl-C: it
    // returns from the command file, and the end comes next.
    if (!aborts_at_interrupt(shell)) out += c + "trap '" + c + "return 130' INT;";
    out += "} 2>/dev/null\n";
    // One line: read whole before the command runs, so that -v, which the
    // command may turn on, does not show it. bash evals the command file (see
    // typed_line).
    if (shell == "bash") {
        out += "IFS= \\builtin read -r -d '' __tl_c <" + std::string(command_path) +
               ";\\builtin eval \"$__tl_c\";";
    } else {
        out += c + ". " + std::string(command_path) + ";";
    }
    if (shell == "zsh") {
        out += "{ __tl_s=$?;__tl_end;\\builtin unfunction __tl_end __tl_hook;} 2>/dev/null\n";
    } else if (shell == "bash") {
        out += "{ __tl_s=$?;__tl_end;} 2>/dev/null\n";
    } else {
        out += "{ __tl_s=$?;" + end_step(script) + "} 2>/dev/null\n";
    }
    return out;
}

std::string command_text(const RunScript& script) {
    const std::string& shell = script.shell;
    const std::string c = builtin(shell);
    std::string out = "{ case $__tl_f in *v*)" + c + "set -v;;esac;";
    // The flags saved are used up here: the end puts back the flags as the
    // command left them, and -x where the command ran without it.
    if (traces_follow_stderr(shell)) {
        out += "case $__tl_f in *x*)__tl_f=;" + c + "set -x;;*)__tl_f=;;esac;";
    } else {
        out += "case $__tl_f in *x*)__tl_f=x;;*)__tl_f=;;esac;";
    }
    // Last, so that $? is the status before the run when the command starts.
    out += "case $__tl_q in 0);;*)(exit $__tl_q);;esac;} 2>/dev/null\n";
    out += script.command;
    out += '\n';
    // ksh93 cuts the status of `.` to 8 bits, and 256+N (signal N) with it.
    if (is_ksh93(shell)) out += "{ __tl_k=$?;} 2>/dev/null\n";
    return out;
}

}  // namespace termloom::pane_ops
