#include "agent/upgrade_script.h"

#include <cstdio>

String ShellQuoted(const String& text) {
    String quoted("'");
    for (int i = 1; i <= text.Length(); i++) {
        if (text[i] == '\'')
            quoted += "'\\''";
        else
            quoted += text[i];
    }
    return quoted + "'";
}

String UpgradeScriptText(const String& qdxpath, const String& executable, const String& script,
                         unsigned mode) {
    char chmod[64];
    std::snprintf(chmod, sizeof chmod, "chmod %o \"$oldQDX.New\" &&\n", mode & 07777);
    String text("#! /bin/sh\n");
    text += String("oldQDX=") + ShellQuoted(qdxpath) + "\n";
    text += String("newQDX=") + ShellQuoted(executable) + "\n";
    text += "rm -f \"$oldQDX.New\"\n";
    text += "if cp \"$newQDX\" \"$oldQDX.New\" && ";
    text += chmod;
    text +=
        "  { [ ! -f \"$oldQDX\" ] || ln -f \"$oldQDX\" \"$oldQDX.Old\" ||"
        " cp -p \"$oldQDX\" \"$oldQDX.Old\"; } &&\n";
    text += "  mv -f \"$oldQDX.New\" \"$oldQDX\"\n";
    text += "then\n";
    text += "  echo \"Upgrade done, previous executable kept as $oldQDX.Old\"\n";
    text += "else\n";
    text += "  echo \"Upgrade failed, previous executable kept\"\n";
    text += "  rm -f \"$oldQDX.New\"\n";
    text += "fi\n";
    text += "rm -f \"$newQDX\"\n";
    text += String("rm -f ") + ShellQuoted(script) + "\n";
    text += "exec \"$oldQDX\" \"$@\"\n";
    return text;
}

std::vector<char*> UpgradeScriptArgv(String& script, char** agentArgv) {
    script.SetZero();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kUpgradeShell));
    argv.push_back(script.Data());
    for (int i = 1; agentArgv != nullptr && agentArgv[0] != nullptr && agentArgv[i] != nullptr; i++)
        argv.push_back(agentArgv[i]);
    argv.push_back(nullptr);
    return argv;
}
