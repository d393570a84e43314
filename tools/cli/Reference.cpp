#include "Reference.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <vector>

#include "ExitCode.h"

namespace quillon::cli {

namespace {

// What the three references need of the command line, read from its definitions once.
struct OptionEntry {
    std::vector<std::string> names;  // "-v", "--verbose"; a positional's placeholder ("FOLDER")
    std::string value;               // the placeholder of its value; empty for a flag
    std::string description;
    std::string environment;  // the variable that gives its default
    bool positional = false;
};

struct CommandEntry {
    std::string path;  // "version get"
    std::string description;
    std::vector<OptionEntry> options;  // its own; the common ones are the tool's
    std::vector<std::string> children;
};

struct Model {
    std::string description;
    std::vector<OptionEntry> common;
    std::vector<std::string> commands;
    std::vector<CommandEntry> entries;  // every command and subcommand, parents first
};

std::vector<OptionEntry> OptionsOf(const CLI::App& command)
{
    std::vector<OptionEntry> entries;
    // Options in the nameless group are hidden from --help, and so from every reference.
    for (const CLI::Option* option :
         command.get_options([](const CLI::Option* o) { return !o->get_group().empty(); })) {
        OptionEntry entry;
        entry.positional = !option->nonpositional();
        if (entry.positional) {
            entry.names.push_back(option->get_name(true));
        } else {
            for (const auto& name : option->get_snames())
                entry.names.push_back("-" + name);
            for (const auto& name : option->get_lnames())
                entry.names.push_back("--" + name);
            if (option->get_type_size_max() > 0)
                entry.value = option->get_type_name().substr(0, option->get_type_name().find(':'));
        }
        entry.description = option->get_description();
        entry.environment = option->get_envname();
        entries.push_back(std::move(entry));
    }
    return entries;
}

void Collect(const CLI::App& command, const std::string& path, Model& model)
{
    CommandEntry entry{path, command.get_description(), OptionsOf(command), {}};
    const auto children = command.get_subcommands([](const CLI::App*) { return true; });
    for (const CLI::App* child : children)
        entry.children.push_back(child->get_name());
    model.entries.push_back(entry);
    for (const CLI::App* child : children)
        Collect(*child, path + " " + child->get_name(), model);
}

Model Read(const CLI::App& app)
{
    Model model;
    model.description = app.get_description();
    model.common = OptionsOf(app);
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        model.commands.push_back(command->get_name());
        Collect(*command, command->get_name(), model);
    }
    return model;
}

bool TakesPath(const OptionEntry& option)
{
    static const char* const kPathWords[] = {"PATH", "FOLDER", "ZIP", "SOURCE", "ROOT", "PACKAGE"};
    const std::string& word = option.positional ? option.names.front() : option.value;
    return std::find(std::begin(kPathWords), std::end(kPathWords), word) != std::end(kPathWords);
}

// ---- man -----------------------------------------------------------------------------------------

// Text as roff shows it: a backslash is an escape, and a line that starts with a dot or a quote
// would be a request.
std::string Roff(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    std::string lines;
    std::size_t start = 0;
    while (start <= out.size()) {
        const std::size_t end = std::min(out.find('\n', start), out.size());
        const std::string line = out.substr(start, end - start);
        lines += (!line.empty() && (line[0] == '.' || line[0] == '\'') ? "\\&" : "") + line + "\n";
        start = end + 1;
    }
    return lines;
}

void ManOptions(std::string& page, const std::vector<OptionEntry>& options)
{
    for (const auto& option : options) {
        std::string names;
        for (const auto& name : option.names)
            names +=
                (names.empty() ? "" : ", ") + ("\\fB" + Roff(name).substr(0, Roff(name).size() - 1) + "\\fR");
        if (!option.value.empty())
            names += " \\fI" + option.value + "\\fR";
        page += ".TP\n" + names + "\n" + Roff(option.description);
        if (!option.environment.empty())
            page += "Default: $" + option.environment + ".\n";
    }
}

// ---- completion --------------------------------------------------------------------------------

std::vector<std::string> Words(const std::vector<OptionEntry>& options)
{
    std::vector<std::string> words;
    for (const auto& option : options)
        if (!option.positional)
            words.insert(words.end(), option.names.begin(), option.names.end());
    return words;
}

std::string Join(const std::vector<std::string>& words, const std::string& between = " ")
{
    std::string joined;
    for (const auto& word : words)
        joined += (joined.empty() ? "" : between) + word;
    return joined;
}

// A description inside a single-quoted zsh _arguments pattern: no quote, no brackets, no colon.
std::string ZshText(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\'')
            out += "'\\''";
        else if (c == '[' || c == ']')
            out += c == '[' ? '(' : ')';
        else if (c == ':')
            out += "\\:";
        else
            out += c;
    }
    return out;
}

std::string ZshPatterns(const std::vector<OptionEntry>& options, bool withHelp)
{
    std::string patterns;
    int position = 0;
    for (const auto& option : options) {
        const std::string action = TakesPath(option) ? "_files" : " ";
        if (option.positional) {
            patterns += " '" + std::to_string(++position) + ":" + option.names.front() + ":" + action + "'";
            continue;
        }
        if (!withHelp && option.names.back() == "--help")
            continue;  // the tool's own options have it
        // The first clause of the description: a completion menu has one line for it.
        std::string clause = option.description.substr(0, option.description.find("; "));
        if (std::count(clause.begin(), clause.end(), '(') > std::count(clause.begin(), clause.end(), ')'))
            clause.erase(clause.rfind('('));
        while (!clause.empty() && clause.back() == ' ')
            clause.pop_back();
        const std::string description = "[" + ZshText(clause) + "]";
        for (const auto& name : option.names)
            patterns += " '*" + name + description +
                        (option.value.empty() ? "" : ":" + option.value + ":" + action) + "'";
    }
    return patterns;
}

}  // namespace

std::string ManPage(const CLI::App& app)
{
    const Model model = Read(app);
    std::string page = ".TH QUILLON 1 \"\" \"quillon " QUILLON_VERSION_STRING "\" \"User Commands\"\n";
    page += ".SH NAME\nquillon \\- " + Roff(model.description);
    page += ".SH SYNOPSIS\n\\fBquillon\\fR [\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGUMENTS\\fR]\n";
    page += ".SH OPTIONS\nAccepted before or after the command.\n";
    ManOptions(page, model.common);
    page += ".SH COMMANDS\n";
    for (const auto& entry : model.entries) {
        std::string usage = "\\fB" + entry.path + "\\fR";
        for (const auto& option : entry.options)
            if (option.positional)
                usage += " \\fI" + option.names.front() + "\\fR";
        if (!entry.children.empty())
            usage += " {" + Join(entry.children, "|") + "}";
        page += ".SS " + usage + "\n" + Roff(entry.description);
        std::vector<OptionEntry> named;
        for (const auto& option : entry.options)
            if (!option.positional && option.names.back() != "--help")
                named.push_back(option);
        if (!named.empty()) {
            page += ".RS\n";
            ManOptions(page, named);
            page += ".RE\n";
        }
    }
    page += ".SH EXIT STATUS\n.nf\n" + Roff(ExitCodeTable()) + ".fi\n";
    page += ".SH SEE ALSO\nquillon \\fICOMMAND\\fR \\-\\-help, the README, and docs/package.md for what a "
            "settings "
            "package is.\n";
    return page;
}

std::string BashCompletion(const CLI::App& app)
{
    const Model model = Read(app);
    std::vector<std::string> takesValue;
    const auto noteValues = [&takesValue](const std::vector<OptionEntry>& options) {
        for (const auto& option : options)
            if (!option.positional && !option.value.empty())
                takesValue.insert(takesValue.end(), option.names.begin(), option.names.end());
    };
    noteValues(model.common);
    for (const auto& entry : model.entries)
        noteValues(entry.options);
    std::sort(takesValue.begin(), takesValue.end());
    takesValue.erase(std::unique(takesValue.begin(), takesValue.end()), takesValue.end());

    const std::string common = Join(Words(model.common));
    std::string script =
        "# bash completion for quillon; made by quillon --generate bash\n"
        "_quillon() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} path= i skip=0\n"
        "    local values=\" " +
        Join(takesValue) +
        " \"\n"
        "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "        if ((skip)); then skip=0; continue; fi\n"
        "        case ${COMP_WORDS[i]} in\n"
        "        --*=*) ;;\n"
        "        -*) [[ $values == *\" ${COMP_WORDS[i]} \"* ]] && skip=1 ;;\n"
        "        *) path=\"$path ${COMP_WORDS[i]}\" ;;\n"
        "        esac\n"
        "    done\n"
        "    # The value of an option: files, which -o default gives.\n"
        "    [[ $values == *\" $prev \"* ]] && return\n"
        "    local words\n"
        "    case $path in\n";
    // The longest command paths first, so that "version get" is not taken for "version".
    std::vector<CommandEntry> entries = model.entries;
    std::stable_sort(entries.begin(), entries.end(), [](const CommandEntry& a, const CommandEntry& b) {
        return a.path.size() > b.path.size();
    });
    for (const auto& entry : entries) {
        const std::string words =
            entry.children.empty() ? Join(Words(entry.options)) + " " + common : Join(entry.children);
        script += "    \" " + entry.path + "\"*) words=\"" + words + "\" ;;\n";
    }
    script += "    *) words=\"" + Join(model.commands) + " " + common +
              "\" ;;\n"
              "    esac\n"
              "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
              "}\n"
              "complete -o default -F _quillon quillon\n";
    return script;
}

std::string ZshCompletion(const CLI::App& app)
{
    const Model model = Read(app);
    const std::string common = ZshPatterns(model.common, true);
    std::string script = "#compdef quillon\n# zsh completion for quillon; made by quillon --generate zsh\n";
    script += "local -a common=(" + common + ")\n";
    script += "local context state state_descr line\ntypeset -A opt_args\n";
    script += "_arguments -C $common '1:command:->command' '*::argument:->argument' && return\n";
    script += "case $state in\ncommand)\n    local -a commands=(\n";
    for (const auto& entry : model.entries)
        if (entry.path.find(' ') == std::string::npos)
            script += "        '" + entry.path + ":" + ZshText(entry.description) + "'\n";
    script +=
        "    )\n    _describe command commands ;;\nargument)\n    case \"${words[1]} ${words[2]}\" in\n";
    std::vector<CommandEntry> entries = model.entries;
    std::stable_sort(entries.begin(), entries.end(), [](const CommandEntry& a, const CommandEntry& b) {
        return a.path.size() > b.path.size();
    });
    for (const auto& entry : entries) {
        const bool nested = entry.path.find(' ') != std::string::npos;
        script += "    \"" + entry.path + (nested ? "\"*" : " \"*") + ")\n";
        if (!entry.children.empty()) {
            script += "        local -a members=(";
            for (const auto& child : model.entries)
                if (child.path.rfind(entry.path + " ", 0) == 0)
                    script += " '" + child.path.substr(entry.path.size() + 1) + ":" +
                              ZshText(child.description) + "'";
            script += " )\n        _describe command members ;;\n";
        } else {
            // A subcommand's words are shifted by one more: its arguments follow its name.
            script += std::string("        ") + (nested ? "shift words; (( CURRENT-- )); " : "") +
                      "_arguments $common" + ZshPatterns(entry.options, false) + " ;;\n";
        }
    }
    script += "    esac ;;\nesac\n";
    return script;
}

}  // namespace quillon::cli
