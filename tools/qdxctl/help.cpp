#include "help.h"

#include <cstdio>
#include <set>
#include <string>

#include "client/catalog.h"

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

// Where a parameter goes when another one has a given value, as a short note.
std::string MovesNote(const ParamSpec& param) {
    std::string note;
    for (const ParamMove& move : param.moves)
        note += "; line " + std::to_string(move.position) + " when " + move.whenParam + " is " +
                move.whenValue;
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

void PrintCommand(std::FILE* out, const CommandSpec& command) {
    std::fprintf(out, "%s: %s\n%s\n", command.name, command.purpose, FamilyTitle(command.family));
    if (command.shape == ReplyShape::Settings) {
        std::fprintf(out, "\nParameters: NAME=VALUE words, one per setting "
                          "(qdxctl set NAME=VALUE ...). Names:\n");
        for (const SettingSpec& setting : SettingNames())
            std::fprintf(out, "  %-26s %-7s %s\n", setting.name, setting.kind, setting.meaning);
    } else if (!command.params.empty()) {
        std::fprintf(out, "\nParameters (line, name, kind, default, meaning):\n");
        for (const ParamSpec& param : command.params)
            std::fprintf(out, "  %2d --%-17s %-6s %-8s %s%s\n", param.position, param.name,
                         ParamKindWord(param.kind), DefaultText(param).c_str(), param.meaning,
                         MovesNote(param).c_str());
    } else if (command.family != Family::NotOffered) {
        std::fprintf(out, "\nParameters: none\n");
    }
    if (command.family == Family::NotOffered) {
        std::fprintf(out, "\nThe agent answers \"500\" to it on this platform.\n");
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
    PrintValues(out, "Reply values (\"301\"):", command.failures);
    if (command.values.empty())
        std::fprintf(out, "\nReply: the result code and a reason text.\n");
    if (command.mainValue != nullptr)
        std::fprintf(out, "\nMain value for qdxctl check: %s\n", command.mainValue);
    if (command.example != nullptr) {
        const char* name = command.shape == ReplyShape::Settings ? "set" : command.name;
        std::fprintf(out, "\nExample:\n  qdxctl %s%s%s\n", name, command.example[0] ? " " : "",
                     command.example);
    }
}

// Text for roff: backslashes written \e, quotes and hyphens as glyphs, a leading dot protected.
std::string Roff(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else if (c == '\'')
            out += "\\(aq";
        else if (c == '"')
            out += "\\(dq";
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
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.size() + 1 + word.size() > 78) {
            std::printf("%s\n", line.c_str());
            line.clear();
        }
        if (line.empty() && !word.empty() && (word[0] == '.' || word[0] == '\'')) line = "\\&";
        line += (line.empty() || line == "\\&" ? "" : " ") + word;
    }
    if (!line.empty()) std::printf("%s\n", line.c_str());
}

void ManCommand(const CommandSpec& command) {
    std::printf(".TP\n.B %s\n", Roff(command.name).c_str());
    Text(Roff(command.purpose) + ".");
    if (command.family == Family::NotOffered) {
        std::printf("The agent answers \\(dq500\\(dq on this platform.\n");
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
                 Roff(MovesNote(param)) + ".");
        }
    }
    for (std::span<const ValueSpec> group : {command.values, command.records, command.failures})
        for (const ValueSpec& value : group) {
            std::printf(".br\n");
            Text("\\fI" + Roff(value.name) + "\\fR (" + Roff(ValueKindWord(value)) + "): " +
                 Roff(value.meaning) + ".");
        }
    if (command.mainValue != nullptr)
        std::printf(".br\nMain value for checks:\n.IR %s .\n", Roff(command.mainValue).c_str());
}

}  // namespace

const char kOptionsSummary[] =
    "Usage: qdxctl [options] COMMAND [PARAMETER...] [--NAME VALUE...]\n"
    "       qdxctl [options] settings                 read the settings (GetSettings)\n"
    "       qdxctl [options] set NAME=VALUE...        change one or more settings\n"
    "       qdxctl [options] check [-w RANGE] [-c RANGE] [--value NAME] [--state FILE]\n"
    "                              [--critical-on-timeout] COMMAND ...   monitoring plugin\n"
    "       qdxctl [options] load -n N -c C COMMAND [PARAMETER...]\n"
    "       qdxctl [options] upgrade [--wait SEC] FILE  send FILE as the agent's new executable\n"
    "       qdxctl help [COMMAND] | help --man         commands and parameters (no agent)\n"
    "       qdxctl completion bash                     print the bash completion script\n"
    "       qdxctl verify-config CFG                   check an agent configuration file\n"
    "\n"
    "Options:\n"
    "  -H, --host HOST          agent address (default 127.0.0.1)\n"
    "  -p, --port PORT          agent port (default: $QDX_PORT)\n"
    "  -f, --password-file FILE read the password from the first line of FILE\n"
    "                           (default: $QDX_PASSWORD)\n"
    "      --password TEXT      password on the command line (visible to other users)\n"
    "  -C, --config CFG         port, listen address and password from an agent configuration\n"
    "  -t, --timeout MS         connect and reply time-out in milliseconds (default 10000)\n"
    "  -r, --raw                print the reply text exactly as received\n"
    "  -j, --json               print one JSON object per reply\n"
    "  -F, --param-file N=FILE  parameter line N (or NAME=FILE: parameter NAME) is the content\n"
    "                           of FILE, line breaks escaped; repeatable\n"
    "      --hosts FILE         ask every host:port line of FILE (- for standard input)\n"
    "      --parallel N         at most N hosts at a time (default 32)\n"
    "  -h, --help               this summary\n"
    "\n"
    "COMMAND is an agent command such as GetInfo, TEST-FileExists or QUIT (qdxctl help lists\n"
    "them). Parameters are positional words (one parameter line each, in wire order) or\n"
    "--NAME VALUE / --NAME=VALUE after the command; with names, defaults fill the rest. \"--\"\n"
    "makes every later word positional. Prints the result code, then each value as\n"
    "\"name: value\" (lists separated by commas).\n"
    "Exit status: 0 for result 200, 1 for any other result, 2 when no reply came, 64 for a\n"
    "usage error; check mode: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n";

int PrintHelp(const std::string& name) {
    if (!name.empty()) {
        const CommandSpec* command = FindCommandSpec(name == "set" ? "SetSettings"
                                                     : name == "settings" ? "GetSettings"
                                                                          : name);
        if (command == nullptr) {
            std::fprintf(stderr, "qdxctl: no command %s (qdxctl help lists them)\n", name.c_str());
            return 64;
        }
        PrintCommand(stdout, *command);
        return 0;
    }
    std::printf("Commands of the qdx agent, by family (qdxctl help COMMAND shows one in full):\n");
    for (Family family : kFamilies) {
        std::printf("\n%s\n", FamilyTitle(family));
        for (const CommandSpec& command : Catalog())
            if (command.family == family)
                std::printf("  %-20s %s\n", command.name, command.purpose);
    }
    std::printf(
        "\nqdxctl's own commands\n"
        "  %-20s %s\n  %-20s %s\n  %-20s %s\n  %-20s %s\n  %-20s %s\n  %-20s %s\n  %-20s %s\n",
        "settings", "GetSettings", "set NAME=VALUE...", "SetSettings (qdxctl help set)", "check",
        "a monitoring-plugin check of any test (qdxctl --help)", "load", "load test",
        "upgrade FILE", "send a new executable and wait for the agent",
        "verify-config CFG", "check an agent configuration file", "completion bash",
        "print the bash completion script");
    return 0;
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
        ".YS\n"
        ".SY qdxctl\n"
        "[\\fIoptions\\fR] \\fBcheck\\fR [\\fB\\-w\\fR \\fIRANGE\\fR] "
        "[\\fB\\-c\\fR \\fIRANGE\\fR]\n"
        "[\\fB\\-\\-value\\fR \\fINAME\\fR] [\\fB\\-\\-state\\fR \\fIFILE\\fR]\n"
        "[\\fB\\-\\-critical\\-on\\-timeout\\fR] \\fICOMMAND\\fR ...\n"
        ".YS\n"
        ".SY qdxctl\n"
        "[\\fIoptions\\fR] \\fBset\\fR \\fINAME\\fR=\\fIVALUE\\fR...\n"
        ".YS\n"
        ".SY qdxctl\n"
        "[\\fIoptions\\fR] \\fBupgrade\\fR [\\fB\\-\\-wait\\fR \\fISEC\\fR] "
        "\\fIFILE\\fR\n"
        ".YS\n"
        ".SY qdxctl\n"
        "\\fBhelp\\fR [\\fICOMMAND\\fR | \\fB\\-\\-man\\fR]\n"
        ".YS\n"
        ".SY qdxctl\n"
        "\\fBverify\\-config\\fR \\fICFG\\fR\n"
        ".YS\n"
        ".SY qdxctl\n"
        "\\fBcompletion bash\\fR\n"
        ".YS\n"
        ".SH DESCRIPTION\n"
        ".B qdxctl\n"
        "talks to a\n"
        ".BR qdx (8)\n"
        "agent the way a monitoring server does:\n"
        "one encrypted request and one reply per connection.\n"
        "Parameters are positional words, one parameter line each in wire order,\n"
        "or \\fB\\-\\-\\fR\\fINAME VALUE\\fR\n"
        "and \\fB\\-\\-\\fR\\fINAME\\fR=\\fIVALUE\\fR after the command;\n"
        "with names, the defaults fill the other lines.\n"
        "A word that is a number, such as \\-1, is always a value,\n"
        "and \\fB\\-\\-\\fR makes every later word positional.\n"
        "The reply is printed as the result code\n"
        "followed by one \\fIname\\fR: \\fIvalue\\fR line per value.\n"
        ".PP\n"
        "In \\fBcheck\\fR mode qdxctl is a monitoring plugin:\n"
        "it prints one status line with performance data\n"
        "and exits 0 (OK), 1 (WARNING), 2 (CRITICAL) or 3 (UNKNOWN).\n"
        "Ranges follow the monitoring\\-plugin guidelines:\n"
        "\\fB10\\fR, \\fB10:\\fR, \\fB\\(ti:10\\fR, \\fB10:20\\fR and "
        "\\fB@10:20\\fR.\n"
        "Result \\(dq301\\(dq is CRITICAL;\n"
        "\\(dq500\\(dq, \\(dq501\\(dq, \\(dq600\\(dq and no reply are UNKNOWN.\n"
        "Text\\-log checks keep their position in the file named by "
        "\\fB\\-\\-state\\fR.\n"
        ".SH OPTIONS\n"
        ".TP\n.BR \\-H \", \" \\-\\-host \" \" \\fIHOST\\fR\nAgent address (default 127.0.0.1).\n"
        ".TP\n.BR \\-p \", \" \\-\\-port \" \" \\fIPORT\\fR\n"
        "Agent port (default: \\fBQDX_PORT\\fR).\n"
        ".TP\n.BR \\-f \", \" \\-\\-password\\-file \" \" \\fIFILE\\fR\n"
        "Password from the first line of \\fIFILE\\fR\n"
        "(default: \\fBQDX_PASSWORD\\fR).\n"
        ".TP\n.BR \\-\\-password \" \" \\fITEXT\\fR\n"
        "Password on the command line, visible to other users.\n"
        ".TP\n.BR \\-C \", \" \\-\\-config \" \" \\fICFG\\fR\n"
        "Port, listen address and password from an agent configuration file.\n"
        ".TP\n.BR \\-t \", \" \\-\\-timeout \" \" \\fIMS\\fR\n"
        "Connect and reply time\\-out in milliseconds (default 10000).\n"
        ".TP\n.BR \\-r \", \" \\-\\-raw\nPrint the reply text exactly as received.\n"
        ".TP\n.BR \\-j \", \" \\-\\-json\nPrint one JSON object per reply.\n"
        ".TP\n.BR \\-F \", \" \\-\\-param\\-file \" \" \\fIN\\fR=\\fIFILE\\fR\n"
        "Parameter line \\fIN\\fR (or parameter \\fINAME\\fR)\n"
        "is the content of \\fIFILE\\fR.\n"
        ".TP\n.BR \\-\\-hosts \" \" \\fIFILE\\fR\n"
        "Send the request to every \\fIhost\\fR[:\\fIport\\fR] line of \\fIFILE\\fR\n"
        "(\\- for standard input).\n"
        ".TP\n.BR \\-\\-parallel \" \" \\fIN\\fR\n"
        "At most \\fIN\\fR hosts at a time (default 32).\n"
        ".TP\n.BR \\-h \", \" \\-\\-help\nThe options summary.\n"
        ".SH COMMANDS\n");
    for (Family family : kFamilies) {
        std::printf(".SS %s\n", Roff(FamilyTitle(family)).c_str());
        for (const CommandSpec& command : Catalog())
            if (command.family == family) ManCommand(command);
    }
    std::printf(".SS Setting names of set\n");
    for (const SettingSpec& setting : SettingNames())
    {
        std::printf(".TP\n.B %s\n", Roff(setting.name).c_str());
        Text(Roff(setting.kind) + ": " + Roff(setting.meaning) + ".");
    }
    std::printf(
        ".SH EXIT STATUS\n"
        "0 for result 200, 1 for any other result, 2 when no reply came,\n"
        "64 for a usage error.\n"
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
        ".EE\n"
        ".PP\n"
        "On the monitoring server, with the agent's password in a file there\n"
        "that only the monitoring engine may read:\n"
        ".PP\n"
        ".EX\n"
        "qdxctl \\-H 192.0.2.20 \\-p 1055 \\-f /etc/nagios4/qdx.password \\e\n"
        "    check \\-c 1000000000: TEST\\-UNC \\-\\-path /var\n"
        "qdxctl \\-p 1055 \\-f /etc/nagios4/qdx.password \\-\\-hosts hosts.txt GetInfo\n"
        ".EE\n"
        ".SH SEE ALSO\n"
        ".BR qdx (8)\n");
}

void PrintBashCompletion() {
    std::printf(
        "# bash completion for qdxctl, generated from its command catalog\n"
        "_qdxctl() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} i=1 command=\"\" word\n"
        "    while [ $i -lt $COMP_CWORD ]; do\n"
        "        word=${COMP_WORDS[i]}\n"
        "        case $word in\n"
        "            -H|--host|-p|--port|-f|--password-file|--password|-C|--config|-t|--timeout"
        "|-F|--param-file|--hosts|--parallel) i=$((i + 2)); continue ;;\n"
        "            check) i=$((i + 1))\n"
        "                while [ $i -lt $COMP_CWORD ]; do\n"
        "                    case ${COMP_WORDS[i]} in\n"
        "                        -w|-c|--value|--state) i=$((i + 2)) ;;\n"
        "                        --critical-on-timeout) i=$((i + 1)) ;;\n"
        "                        *) break ;;\n"
        "                    esac\n"
        "                done\n"
        "                continue ;;\n"
        "            -*) i=$((i + 1)); continue ;;\n"
        "        esac\n"
        "        command=$word\n"
        "        break\n"
        "    done\n"
        "    local commands=\"settings set check load upgrade help completion verify-config");
    for (const CommandSpec& command : Catalog()) std::printf(" %s", command.name);
    std::printf("\"\n"
                "    if [ -z \"$command\" ]; then\n"
                "        if [[ $cur == -* ]]; then\n"
                "            COMPREPLY=($(compgen -W \"-H --host -p --port -f --password-file "
                "--password -C --config -t --timeout -r --raw -j --json -F --param-file --hosts "
                "--parallel -h --help\" -- \"$cur\"))\n"
                "        else\n"
                "            COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\"))\n"
                "        fi\n"
                "        return\n"
                "    fi\n"
                "    local names=\"\"\n"
                "    case $command in\n"
                "        help) COMPREPLY=($(compgen -W \"$commands --man\" -- \"$cur\")); "
                "return ;;\n"
                "        completion) COMPREPLY=($(compgen -W bash -- \"$cur\")); return ;;\n"
                "        verify-config|upgrade) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
                "        set)\n"
                "            local IFS=$'\\n' setting\n"
                "            COMPREPLY=()\n"
                "            for setting in");
    for (const SettingSpec& setting : SettingNames()) {
        std::string quoted = "'";
        quoted += setting.name;
        quoted += "='";
        std::printf(" %s", quoted.c_str());
    }
    std::printf(
        "; do\n"
        "                [[ $setting == \"$cur\"* ]] && COMPREPLY+=(\"$(printf %%q \"$setting\")\")\n"
        "            done\n"
        "            compopt -o nospace 2>/dev/null\n"
        "            return ;;\n");
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
