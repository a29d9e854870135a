#include "foundation/program.hpp"

#include "foundation/output.hpp"
#include "foundation/secure_memory.hpp"

#include <getopt.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>

#ifndef KEYGEN_VERSION
#error "KEYGEN_VERSION must be defined by the build"
#endif

namespace foundation {

namespace {

std::string short_options(const program& p)
{
    // A leading ':' makes getopt_long tell a missing argument from an
    // unknown option.
    std::string letters = ":";
    for (const option_spec& o : p.options) {
        if (o.id < 256) {
            letters += static_cast<char>(o.id);
            letters += o.argument != nullptr ? ":" : "";
        }
    }
    return letters;
}

std::vector<option> long_options(const program& p)
{
    std::vector<option> table;
    for (const option_spec& o : p.options) {
        table.push_back({o.name, o.argument != nullptr ? required_argument : no_argument, nullptr, o.id});
    }
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

std::string option_words(const option_spec& o)
{
    std::string words = "  ";
    if (o.id < 256) {
        words += std::string("-") + static_cast<char>(o.id) + ", ";
    }
    words += std::string("--") + o.name;
    if (o.argument != nullptr) {
        words += std::string(" ") + o.argument;
    }
    return words;
}

}  // namespace

std::vector<std::string> parse_command_line(const program& p, int argc, char** argv,
                                            const std::function<void(int, const char*)>& take)
{
    const std::string letters = short_options(p);
    const std::vector<option> names = long_options(p);
    opterr = 0;
    optind = 1;
    for (int c = 0; (c = getopt_long(argc, argv, letters.c_str(), names.data(), nullptr)) != -1;) {
        if (c == '?' || c == ':') {
            throw option_error(c, argv, names.data());
        }
        take(c, optarg);
    }
    return {argv + optind, argv + argc};
}

std::string options_help(const program& p)
{
    std::string text;
    for (const option_spec& o : p.options) {
        std::string line = option_words(o);
        // Words that reach the text's column get the text on a line below.
        if (line.size() + 1 > p.help_column) {
            line += "\n";
            line.append(p.help_column, ' ');
        } else {
            line.resize(p.help_column, ' ');
        }
        for (const char c : std::string(o.help)) {
            line += c;
            if (c == '\n') {
                line.append(p.help_column, ' ');
            }
        }
        text += line + "\n";
    }
    return text;
}

void print_help(const program& p)
{
    write_out(std::string(p.usage) + "\n" + p.description + "\n" + options_help(p));
}

void print_version(const program& p) { write_out(std::string(p.name) + " " KEYGEN_VERSION "\n"); }

std::string output_name(const char* arg)
{
    if (*arg == '\0') {
        throw usage_error("-o needs a file name, not an empty one");
    }
    return arg;
}

int run_program(const program& p, int argc, char** argv,
                const std::function<int(int, char**)>& body)
{
    set_program(p.name, p.failure_status);
    install_wiping_allocator();
    disable_core_dumps();
    (void)std::signal(SIGXFSZ, SIG_IGN);
    int status = 0;
    try {
        use_private_buffer(stdout);
        status = body(argc, argv);
    } catch (...) {
        status = report_failure(std::current_exception(), p.usage);
    }
    if (p.forget != nullptr) {
        p.forget();
    }
    scrub_stack();
    clear_vector_registers();
    return status;
}

}  // namespace foundation
