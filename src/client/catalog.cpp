#include "client/catalog.h"

const CommandSpec* FindCommandSpec(std::string_view name) {
    for (const CommandSpec& command : Catalog())
        if (name == command.name) return &command;
    return nullptr;
}

const ParamSpec* FindParam(const CommandSpec& command, std::string_view name) {
    for (const ParamSpec& param : command.params)
        if (name == param.name) return &param;
    return nullptr;
}

const ValueSpec* FindValue(const CommandSpec& command, std::string_view name) {
    for (std::span<const ValueSpec> group :
         {command.values, command.records, command.failures, command.derived})
        for (const ValueSpec& value : group)
            if (name == value.name) return &value;
    return nullptr;
}

const char* FamilyTitle(Family family) {
    switch (family) {
        case Family::Files: return "File and folder tests";
        case Family::Processes: return "Process, CPU and script tests";
        case Family::TextLogs: return "Text-log tests";
        case Family::Network: return "Network tests";
        case Family::Actions: return "Actions";
        case Family::Information: return "Information";
        case Family::Management: return "Management (needs the management or upgrade right)";
        case Family::NotOffered: return "Known to the agent, answered \"500\" on this platform";
    }
    return "";
}
