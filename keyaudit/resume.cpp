#include "keyaudit/resume.hpp"

#include "keyaudit/report.hpp"

#include <algorithm>

namespace keyaudit {

namespace {

std::string at(std::uint32_t second) { return "@" + std::to_string(second); }


class command {
public:
    void flag(bool on, const char* word)
    {
        if (on) {
            text_ += std::string(" ") + word;
        }
    }
    void option(const char* word, const std::string& value) { text_ += std::string(" ") + word + " " + shell_word(value); }
    void operand(const std::string& word) { text_ += " " + shell_word(word); }
    const std::string& text() const { return text_; }

private:
    std::string text_ = "keyaudit";
};

std::string resume_point_text(std::uint32_t next, std::vector<std::uint32_t> found)
{
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::string text = at(next);
    for (const std::uint32_t seed : found) {
        text += "," + at(seed);
    }
    return text;
}

}  // namespace

std::string resume_command(const options& o, std::optional<std::uint32_t> next, std::vector<std::uint32_t> found)
{
    command c;
    c.flag(o.quiet, "-q");
    c.flag(o.recursive, "-r");
    c.flag(o.json, "--json");
    c.flag(o.exact, "--exact");
    if (o.threads != 0) {
        c.option("-j", std::to_string(o.threads));
    }
    if (o.libcs != default_libcs()) {
        c.option("--libc", libc_names(o.libcs, ","));
    }
    for (const std::string& index : o.indexes) {
        c.option("--index", index);
    }
    if (o.from) {
        c.option("--from", at(*o.from));
    }
    if (o.to) {
        c.option("--to", at(*o.to));
    }
    if (o.days) {
        c.option("--days", std::to_string(*o.days));
    }
    if (o.files_from) {
        c.option("--files-from", *o.files_from);
    }
    c.flag(o.null_separated, "-0");
    c.flag(o.recover, "--recover");
    if (!o.output.empty()) {
        c.option("-o", o.output);
    }
    if (!next && o.resume) {
        next = o.resume->first;
    }
    if (next) {
        if (o.resume) {
            found.insert(found.end(), o.resume->found.begin(), o.resume->found.end());
        }
        c.option("--resume", resume_point_text(*next, found));
    }
    c.flag(true, "--");
    for (const std::string& file : o.files) {
        c.operand(file);
    }
    return c.text();
}

}  // namespace keyaudit
