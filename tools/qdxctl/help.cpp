#include "help.h"

#include <cstdio>
#include <set>
#include <string>

#include "client/catalog.h"
#include "command_line.h"
#include "commands.h"

namespace {

const Family kFamilies[] = {Family::Files,       Family::Processes,  Family::TextLogs,
                            Family::Network,     Family::Actions,    Family::Information,
                            Family::Management,  Family::NotOffered};

const char* ParamKindWord(ParamKind kind) {
    switch (kind) {
        case ParamKind::Text: return "text";
        case ParamKind::Escaped: return "text";
        case ParamKind::Number: return "number";
        case ParamKind::Flag: return "0/1";
    }
    return "";
}

std::string ValueKindWord(const ValueSpec& value) {
    if (value.unit[0] != '\0') return value.unit;
    switch (value.kind) {
        case ValueKind::Integer: return "number";
        case ValueKind::Real: return "number";
        case ValueKind::Flag: return "0/1";
        case ValueKind::Text: return "text";
        case ValueKind::Escaped: return "text";
        case ValueKind::List: return "list";
        case ValueKind::Time: return "time";
    }
    return "";
}

std::string DefaultText(const ParamSpec& param) {
    return param.defaultValue[0] == '\0' ? "-" : param.defaultValue;
}

// When a parameter is read and where it moves, as a short note.
std::string ParamNote(const ParamSpec& param) {
    std::string note;
    for (const ParamWhen& when : param.when)
        note += std::string(note.empty() ? "; read when " : " or ") + when.param + " is " +
                when.value;
    for (const ParamMove& move : param.moves)
        note += "; line " + std::to_string(move.position) + " when " + move.whenParam + " is " +
                move.whenValue;
    if (param.expressionWhen != nullptr)
        note += std::string("; checked before sending when ") + param.expressionWhen + " is 1";
    return note;
}

void PrintValues(std::FILE* out, const char* heading, std::span<const ValueSpec> values) {
    if (values.empty()) return;
    std::fprintf(out, "\n%s\n", heading);
    for (const ValueSpec& value : values) {
        std::string meaning = value.meaning;
        if (value.presentWhen != nullptr)
            meaning += std::string(" (with --") + value.presentWhen + " 1)";
        if (value.wireKey != nullptr) meaning += std::string(" [") + value.wireKey + "]";
        std::fprintf(out, "  %-20s %-7s %s\n", value.name, ValueKindWord(value).c_str(),
                     meaning.c_str());
    }
}

void PrintSettingNames(std::FILE* out) {
    std::fprintf(out, "\nSetting names (exactly so; a value is checked against its kind):\n");
    for (const SettingSpec& setting : SettingNames())
        std::fprintf(out, "  %-26s %-7s %s\n", setting.name, SettingRuleWord(setting.rule),
                     setting.meaning);
}

void PrintCommand(std::FILE* out, const CommandSpec& command) {
    std::fprintf(out, "%s: %s\n%s\n", command.name, command.purpose, FamilyTitle(command.family));
    if (command.shape == ReplyShape::Settings) {
        std::fprintf(out, "\nParameters: NAME=VALUE words, one per setting "
                          "(qdxctl set NAME=VALUE ...).\n");
        PrintSettingNames(out);
    } else if (!command.params.empty()) {
        std::fprintf(out, "\nParameters, in the order positional words fill them (line, name, "
                          "kind, default, meaning):\n");
        for (const ParamSpec& param : command.params)
            std::fprintf(out, "  %2d --%-17s %-6s %-8s %s%s\n", param.position, param.name,
                         ParamKindWord(param.kind), DefaultText(param).c_str(), param.meaning,
                         ParamNote(param).c_str());
    } else if (command.family != Family::NotOffered) {
        std::fprintf(out, "\nParameters: none\n");
    }
    if (command.family == Family::NotOffered) {
        std::fprintf(out, "\nThe agent answers \"500\" to it on this platform.\n");
        if (command.doneHereBy != nullptr)
            std::fprintf(out, "On this platform %s does the job (qdxctl help %s).\n",
                         command.doneHereBy, command.doneHereBy);
        return;
    }
    if (command.shape == ReplyShape::KeyValues)
        PrintValues(out, "Reply values (\"200\", Key=Value lines; unknown keys keep their own name):",
                    command.values);
    else if (command.shape == ReplyShape::Records)
        PrintValues(out, "Reply values (\"200\"): the header,", command.values);
    else
        PrintValues(out, "Reply values (\"200\"):", command.values);
    PrintValues(out, "then one record per entry:", command.records);
    PrintValues(out, "Derived by qdxctl from the values above (not sent by the agent):",
                command.derived);
    PrintValues(out, "Reply values (\"301\"):", command.failures);
    if (command.values.empty())
        std::fprintf(out, "\nReply: the result code and a reason text.\n");
    if (command.mainValue != nullptr)
        std::fprintf(out, "\nMain value for qdxctl check: %s\n", command.mainValue);
    if (command.verdict == Verdict::ExitCode)
        std::fprintf(out, "Without -w and -c, qdxctl check takes the exit code as the state "
                          "(0 OK, 1 WARNING, 2 CRITICAL, others UNKNOWN).\n");
    if (command.verdict == Verdict::ScriptResult)
        std::fprintf(out, "\nqdxctl check takes the scriptres: line as the state (OK, WARNING, "
                          "CRITICAL, UNKNOWN in any\nletter case, or 0 to 3) and the script's "
                          "other output lines as the status text and long\noutput, its "
                          "performance data passed through.\n");
    if (command.verdict == Verdict::Plugin)
        std::fprintf(out, "\nqdxctl check passes the plugin through: its exit code is the state, "
                          "its lines the status\ntext and long output, its performance data as "
                          "it printed them.\n");
    if (command.example != nullptr) {
        const char* name = command.shape == ReplyShape::Settings ? "set" : command.name;
        std::fprintf(out, "\nExample:\n  qdxctl %s%s%s\n", name, command.example[0] ? " " : "",
                     command.example);
    }
}

}  // namespace

int PrintHelp(const std::string& name) {
    if (name.empty()) {
        std::printf(
            "Commands of the qdx agent, by family (qdxctl help COMMAND shows one in full):\n");
        for (Family family : kFamilies) {
            std::printf("\n%s\n", FamilyTitle(family));
            for (const CommandSpec& command : Catalog())
                if (command.family == family)
                    std::printf("  %-20s %s\n", command.name, command.purpose);
        }
        std::printf("\nqdxctl's own commands (qdxctl help NAME shows one with its options)\n");
        for (const Subcommand& command : Subcommands()) {
            std::string help = command.help;
            std::printf("  %-20s %s\n", command.name, help.substr(0, help.find('\n')).c_str());
        }
        return kExitOk;
    }
    if (const Subcommand* own = FindSubcommand(name)) {
        PrintSubcommandHelp(stdout, *own);
        if (name == "set") PrintSettingNames(stdout);
        return kExitOk;
    }
    const CommandSpec* command = FindCommandSpec(name);
    if (command == nullptr) Fail("no command " + name + " (qdxctl help lists them)");
    PrintCommand(stdout, *command);
    return kExitOk;
}

namespace {

// ---- The manual page

// Text for roff: backslashes written \e, quotes and hyphens as glyphs, a leading dot protected.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else if (c == '\'')
            out += "\\(aq";
        else if (c == '"')
            out += "\\(dq";
        else if (c == '~')
            out += "\\(ti";
        else
            out += c;
    }
    if (!out.empty() && out[0] == '.') out = "\\&" + out;
    return out;
}

// Prints roff text lines of at most 78 bytes, broken at blanks (a line never starts with a dot).
void Text(const std::string& text) {
    std::string line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of(" \n", start);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(start, end - start);
        start = end + 1;
        if (word.empty()) continue;
        if (!line.empty() && line.size() + 1 + word.size() > 78) {
            std::printf("%s\n", line.c_str());
            line.clear();
        }
        if (line.empty() && (word[0] == '.' || word[0] == '\'')) line = "\\&";
        line += (line.empty() || line == "\\&" ? "" : " ") + word;
    }
    if (!line.empty()) std::printf("%s\n", line.c_str());
}

void ManOptions(std::span<const OptionSpec> options) {
    for (const OptionSpec& option : options) {
        if (option.shortName != nullptr)
            std::printf(".TP\n.BR %s \", \" %s", Roff(option.shortName).c_str(),
                        Roff(option.longName).c_str());
        else
            std::printf(".TP\n.BR %s", Roff(option.longName).c_str());
        if (option.valueName != nullptr)
            std::printf(" \" \" \\fI%s\\fR", Roff(option.valueName).c_str());
        std::printf("\n");
        Text(Roff(option.help) + ".");
    }
}

void ManCommand(const CommandSpec& command) {
    std::printf(".TP\n.B %s\n", Roff(command.name).c_str());
    Text(Roff(command.purpose) + ".");
    if (command.family == Family::NotOffered) {
        std::printf("The agent answers \\(dq500\\(dq on this platform.\n");
        if (command.doneHereBy != nullptr)
            std::printf("On this platform\n.B %s\ndoes the job.\n",
                        Roff(command.doneHereBy).c_str());
        return;
    }
    if (command.shape == ReplyShape::Settings) {
        std::printf("Parameters: NAME=VALUE words; the names are listed under\n.BR set .\n");
    } else {
        for (const ParamSpec& param : command.params) {
            std::printf(".br\n");
            Text("\\fB\\-\\-" + Roff(param.name) + "\\fR (line " +
                 std::to_string(param.position) + ", " + ParamKindWord(param.kind) +
                 ", default " + Roff(DefaultText(param)) + "): " + Roff(param.meaning) +
                 Roff(ParamNote(param)) + ".");
        }
    }
    for (std::span<const ValueSpec> group : {command.values, command.records, command.failures,
                                             command.derived})
        for (const ValueSpec& value : group) {
            bool derived = group.data() == command.derived.data() && !command.derived.empty();
            std::printf(".br\n");
            Text("\\fI" + Roff(value.name) + "\\fR (" + Roff(ValueKindWord(value)) +
                 (derived ? ", derived by qdxctl" : "") + "): " + Roff(value.meaning) + ".");
        }
    if (command.mainValue != nullptr)
        std::printf(".br\nMain value for checks:\n.IR %s .\n", Roff(command.mainValue).c_str());
}

// ---- The completion script

void OptionWords(std::span<const OptionSpec> options, bool valued, std::set<std::string>& into) {
    for (const OptionSpec& option : options) {
        if ((option.valueName != nullptr) != valued) continue;
        if (option.shortName != nullptr) into.insert(option.shortName);
        into.insert(option.longName);
    }
}

std::string Joined(const std::set<std::string>& words, const char* separator) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
    return text;
}

std::string AllOptions(std::span<const OptionSpec> options) {
    std::set<std::string> words;
    OptionWords(options, true, words);
    OptionWords(options, false, words);
    return Joined(words, " ");
}

}  // namespace

int RunHelpCommand(Options& options) {
    if (options.words.size() == 1 && options.words[0] == "--man") {
        PrintManPage();
        return kExitOk;
    }
    if (options.words.size() > 1) Fail("help takes one COMMAND or --man");
    return PrintHelp(options.words.empty() ? "" : options.words[0]);
}

int RunCompletionCommand(Options& options) {
    if (options.words.size() != 1 || options.words[0] != "bash") Fail("completion supports bash");
    PrintBashCompletion();
    return kExitOk;
}

void PrintParameters(const std::string& name) {
    const CommandSpec* command = FindCommandSpec(name);
    if (command == nullptr) return;
    std::fputc('\n', stderr);
    PrintCommand(stderr, *command);
}

void PrintManPage() {
    std::printf(
        ".TH QDXCTL 1 2026-01-01 \"qdx 1.30\" \"User Commands\"\n"
        ".SH NAME\n"
        "qdxctl \\- query and manage qdx monitoring agents\n"
        ".SH SYNOPSIS\n"
        ".SY qdxctl\n"
        "[\\fIoptions\\fR] \\fICOMMAND\\fR [\\fIPARAMETER\\fR...]\n"
        "[\\fB\\-\\-\\fR\\fINAME VALUE\\fR...]\n"
        ".YS\n");
    for (const Subcommand& command : Subcommands())
        std::printf(".SY qdxctl\n[\\fIoptions\\fR] \\fB%s\\fR%s%s\n.YS\n",
                    Roff(command.name).c_str(), command.synopsis[0] ? " " : "",
                    Roff(command.synopsis).c_str());
    std::printf(
        ".SH DESCRIPTION\n"
        ".B qdxctl\n"
        "talks to a\n"
        ".BR qdx (8)\n"
        "agent the way a monitoring server does:\n"
        "one encrypted request and one reply per connection.\n"
        "Positional words after the command fill the parameters the agent reads,\n"
        "in the order\n"
        ".B qdxctl help\n"
        "\\fICOMMAND\\fR lists them;\n"
        "\\fB\\-\\-\\fR\\fINAME VALUE\\fR\n"
        "and \\fB\\-\\-\\fR\\fINAME\\fR=\\fIVALUE\\fR name one;\n"
        "the defaults fill the rest.\n"
        "A word that is a number, such as \\-1, is always a value,\n"
        "\\fB\\-\\-\\fR makes every later word positional, and\n"
        ".B \\-\\-wire\n"
        "sends every word as one parameter line, exactly as given.\n"
        "The reply is printed as the result code\n"
        "followed by one \\fIname\\fR: \\fIvalue\\fR line per value;\n"
        "control bytes and bytes that are not UTF\\-8 are shown as \\e\\fIxNN\\fR.\n"
        ".PP\n"
        "In \\fBcheck\\fR mode qdxctl is a monitoring plugin:\n"
        "it prints one status line with performance data\n"
        "and exits 0 (OK), 1 (WARNING), 2 (CRITICAL) or 3 (UNKNOWN);\n"
        "every error, also in an option, is UNKNOWN.\n"
        "Ranges follow the monitoring\\-plugin guidelines:\n"
        "\\fB10\\fR, \\fB10:\\fR, \\fB\\(ti:10\\fR, \\fB10:20\\fR and "
        "\\fB@10:20\\fR.\n"
        "Result \\(dq301\\(dq is CRITICAL;\n"
        "\\(dq500\\(dq, \\(dq501\\(dq, \\(dq600\\(dq and no reply are UNKNOWN\n"
        "(\\fB\\-\\-unreachable\\fR chooses the state of an agent that does not answer).\n"
        "Text\\-log checks keep their position in the file named by "
        "\\fB\\-\\-state\\fR.\n"
        ".SH OPTIONS\n"
        "These options are taken before the agent command,\n"
        "also after one of qdxctl's own commands.\n");
    ManOptions(GeneralOptions());
    std::printf(".SH COMMANDS OF QDXCTL\n");
    for (const Subcommand& command : Subcommands()) {
        std::printf(".SS %s\n", Roff(command.name).c_str());
        Text(Roff(command.help));
        ManOptions(command.options);
    }
    std::printf(".SH AGENT COMMANDS\n");
    for (Family family : kFamilies) {
        std::printf(".SS %s\n", Roff(FamilyTitle(family)).c_str());
        for (const CommandSpec& command : Catalog())
            if (command.family == family) ManCommand(command);
    }
    std::printf(".SS Setting names of set\n");
    for (const SettingSpec& setting : SettingNames()) {
        std::printf(".TP\n.B %s\n", Roff(setting.name).c_str());
        Text(Roff(SettingRuleWord(setting.rule)) + ": " + Roff(setting.meaning) + ".");
    }
    std::printf(
        ".SH EXIT STATUS\n"
        "0 for result 200, 1 for any other result (and for a setting that does not hold\n"
        "or an upgrade that is not verified), 2 when no reply came, 64 for a usage error.\n"
        "With \\fB\\-\\-hosts\\fR the highest status of all hosts.\n"
        "In \\fBcheck\\fR mode: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
        "\\fBverify\\-config\\fR: 0 valid, 1 invalid, 64 usage.\n"
        ".SH ENVIRONMENT\n"
        ".TP\n.B QDX_PASSWORD\n"
        "The agent's password, unless \\fB\\-f\\fR, \\fB\\-\\-password\\fR or \\fB\\-C\\fR\n"
        "gives one.\n"
        ".TP\n.B QDX_PORT\n"
        "The agent's port, unless \\fB\\-p\\fR or \\fB\\-C\\fR gives one.\n"
        ".SH FILES\n"
        ".TP\n.I /etc/qdx/qdx.cfg\n"
        "The configuration of the agent installed on this host,\n"
        "readable by root only:\n"
        "\\fB\\-C\\fR takes its port, listen address and password.\n"
        ".SH EXAMPLES\n"
        "On the agent's own host, as root:\n"
        ".PP\n"
        ".EX\n"
        "qdxctl help TEST\\-TextLog\n"
        "qdxctl \\-C /etc/qdx/qdx.cfg GetInfo\n"
        "qdxctl \\-C /etc/qdx/qdx.cfg TEST\\-UNC \\-\\-path /var\n"
        "qdxctl \\-C /etc/qdx/qdx.cfg \\-\\-json TEST\\-FileExists \\-\\-path /var/log/syslog\n"
        "qdxctl \\-C /etc/qdx/qdx.cfg check \\-c 10: \\-\\-value available_percent TEST\\-UNC /var\n"
        "qdxctl \\-C /etc/qdx/qdx.cfg set \\-\\-dry\\-run Comment=web01 \\(dqFolder Size=0\\(dq\n"
        ".EE\n"
        ".PP\n"
        "On the monitoring server, with the agent's password in a file there\n"
        "that only the monitoring engine may read:\n"
        ".PP\n"
        ".EX\n"
        "qdxctl \\-H 192.0.2.20 \\-p 1055 \\-f /etc/nagios4/qdx.password \\e\n"
        "    check \\-c 1000000000: TEST\\-UNC \\-\\-path /var\n"
        "qdxctl \\-p 1055 \\-f /etc/nagios4/qdx.password \\-\\-hosts hosts.txt \\-\\-parallel 64 GetInfo\n"
        ".EE\n"
        ".SH SEE ALSO\n"
        ".BR qdx (8)\n");
}

void PrintBashCompletion() {
    std::set<std::string> valued, files;
    OptionWords(GeneralOptions(), true, valued);
    for (const Subcommand& command : Subcommands()) OptionWords(command.options, true, valued);
    for (const char* file : {"-f", "--password-file", "-C", "--config", "--hosts", "--state",
                             "--qdxpath"})
        valued.erase(file), files.insert(file);
    valued.erase("-F");
    valued.erase("--param-file");
    valued.erase("--unreachable");
    std::set<std::string> subcommands;
    for (const Subcommand& command : Subcommands()) subcommands.insert(command.name);

    std::printf(
        "# bash completion for qdxctl, generated from its command catalog and option tables\n"
        "_qdxctl() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        "    local i=1 sub=\"\" command=\"\" word\n"
        "    case $prev in\n"
        "        %s) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
        "        -F|--param-file)\n"
        "            if [[ $cur == *=* ]]; then\n"
        "                COMPREPLY=($(compgen -f -P \"${cur%%%%=*}=\" -- \"${cur#*=}\"))\n"
        "            else\n"
        "                COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        "            fi\n"
        "            return ;;\n"
        "        --unreachable) COMPREPLY=($(compgen -W \"unknown warning critical\" -- "
        "\"$cur\")); return ;;\n"
        "        %s) COMPREPLY=(); return ;;\n"
        "    esac\n"
        "    while [ $i -lt $COMP_CWORD ]; do\n"
        "        word=${COMP_WORDS[i]}\n"
        "        case $word in\n"
        "            %s|-F|--param-file|--unreachable) i=$((i + 2)); continue ;;\n"
        "            -*) i=$((i + 1)); continue ;;\n"
        "        esac\n"
        "        if [ -z \"$sub\" ]; then\n"
        "            case $word in\n"
        "                %s) sub=$word; i=$((i + 1)); continue ;;\n"
        "            esac\n"
        "        fi\n"
        "        command=$word\n"
        "        break\n"
        "    done\n",
        Joined(files, "|").c_str(), Joined(valued, "|").c_str(),
        (Joined(valued, "|") + "|" + Joined(files, "|")).c_str(),
        Joined(subcommands, "|").c_str());
    std::printf("    local commands=\"%s", Joined(subcommands, " ").c_str());
    for (const CommandSpec& command : Catalog()) std::printf(" %s", command.name);
    std::printf("\"\n    local agent=\"");
    for (const CommandSpec& command : Catalog())
        std::printf("%s%s", &command == Catalog().data() ? "" : " ", command.name);
    std::printf("\"\n    local options=\"%s\"\n", AllOptions(GeneralOptions()).c_str());
    std::printf("    if [ -z \"$command\" ]; then\n"
                "        if [[ $cur == -* ]]; then\n"
                "            case $sub in\n");
    for (const Subcommand& command : Subcommands())
        if (!command.options.empty())
            std::printf("                %s) options=\"$options %s\" ;;\n", command.name,
                        AllOptions(command.options).c_str());
    std::printf("            esac\n"
                "            COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
                "            return\n"
                "        fi\n"
                "        case $sub in\n"
                "            \"\") COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\")) ;;\n"
                "            help) COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\")) ;;\n"
                "            completion) COMPREPLY=($(compgen -W bash -- \"$cur\")) ;;\n"
                "            check|load) COMPREPLY=($(compgen -W \"$agent\" -- \"$cur\")) ;;\n"
                "            verify-config|upgrade) COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n"
                "            set)\n"
                "                local IFS=$'\\n' setting\n"
                "                COMPREPLY=()\n"
                "                for setting in");
    for (const SettingSpec& setting : SettingNames()) {
        std::string quoted = "'";
        quoted += setting.name;
        quoted += "='";
        std::printf(" %s", quoted.c_str());
    }
    std::printf(
        "; do\n"
        "                    [[ $setting == \"$cur\"* ]] && COMPREPLY+=(\"$(printf %%q "
        "\"$setting\")\")\n"
        "                done\n"
        "                compopt -o nospace 2>/dev/null ;;\n"
        "            *) COMPREPLY=() ;;\n"
        "        esac\n"
        "        return\n"
        "    fi\n"
        "    local names=\"\"\n"
        "    case $command in\n");
    for (const CommandSpec& command : Catalog()) {
        if (command.params.empty()) continue;
        std::printf("        %s) names=\"", command.name);
        for (size_t i = 0; i < command.params.size(); i++)
            std::printf("%s--%s", i ? " " : "", command.params[i].name);
        std::printf("\" ;;\n");
    }
    std::printf("    esac\n"
                "    if [[ $cur == --* ]]; then\n"
                "        COMPREPLY=($(compgen -W \"$names\" -- \"$cur\"))\n"
                "    else\n"
                "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
                "    fi\n"
                "}\n"
                "complete -F _qdxctl qdxctl\n");
}
