#include "main/policy_file.h"

#include "base/escape.h"
#include "base/for_each_line.h"
#include "base/text.h"

std::string load_policy(const std::string& path, egress_policy& into)
{
    std::string problem;
    int error = base::for_each_line(path, [&](const std::string& line, uint32_t number, uint64_t) {
        if (!problem.empty())
            return;
        std::string why = into.add_line(line);
        if (!why.empty())
            problem = base::escape_controls(path) + " line " + std::to_string(number) + ": " + base::escape_controls(why);
    });
    if (error)
        return "cannot read " + base::escape_controls(path) + " (" + base::read_error_text(error) + ")";
    return problem;
}

std::string policy_size_line(uint32_t rules) { return base::grouped(rules) + " policy rules"; }
