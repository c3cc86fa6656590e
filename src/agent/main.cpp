#include "agent/startup.h"

int main(int argc, char** argv, char** envp) {
    return RunAgent(argc, argv, envp);
}
