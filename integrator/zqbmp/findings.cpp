#include "findings.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>

#include "json_writer.h"

namespace {

const char* severity_name(finding_severity severity) {
    return severity == FINDING_ERROR ? "error" : severity == FINDING_WARNING ? "warning" : "note";
}

void print_figures(const std::vector<finding_figure>& figures) {
    const char* separator = "";
    for (const finding_figure& f : figures) {
        printf("%s%s: %lld", separator, json_string(f.name).c_str(), f.value);
        separator = ", ";
    }
}

// The line as a person reads it: a control character of a name (a line end
// included) as \xHH and a backslash as two, so that one finding stays one line.
std::string printable(const std::string& text) {
    std::string out;
    char escape[8];
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            (void)snprintf(escape, sizeof escape, "\\x%02x", b);
            out += escape;
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

finding_report* current_report = nullptr;

namespace {

void say_line(finding_severity severity, const char* code, std::vector<finding_figure> figures,
              const char* format, va_list args) {
    char line[4096];
    (void)vsnprintf(line, sizeof line, format, args);
    finding f;
    f.text = line;
    if (!f.text.empty() && f.text.back() == '\n') f.text.pop_back();
    f.subject = f.text.substr(0, f.text.find(": "));
    f.severity = severity;
    f.code = code;
    f.figures = std::move(figures);
    const size_t dot = f.subject.rfind('.');
    if (f.subject.find('/') == std::string::npos && dot != std::string::npos &&
        strcasecmp(f.subject.c_str() + dot, ".bmp") == 0) {
        f.place = FINDING_DEVICE_PATH;
        f.path = "/ZQ/media/" + f.subject;
    }
    if (current_report == nullptr) {
        printf("%s\n", printable(f.text).c_str());
        return;
    }
    report_add(current_report, std::move(f));
}

}  // namespace

void say(finding_severity severity, const char* code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    say_line(severity, code, {}, format, args);
    va_end(args);
}

void say(finding_severity severity, const char* code, std::vector<finding_figure> figures,
         const char* format, ...) {
    va_list args;
    va_start(args, format);
    say_line(severity, code, std::move(figures), format, args);
    va_end(args);
}

void report_add(finding_report* report, finding f) {
    if (!report->json) {
        printf("%s\n", printable(f.text).c_str());
        return;
    }
    report->findings.push_back(std::move(f));
}

void report_finish(const finding_report& report, const char* command, int status,
                   const std::vector<finding_figure>& summary) {
    if (!report.json) return;
    printf("{\n  \"command\": %s,\n  \"status\": %d,\n  \"summary\": {",
           json_string(command).c_str(), status);
    print_figures(summary);
    printf("},\n  \"findings\": [");
    const char* separator = "\n";
    for (const finding& f : report.findings) {
        printf("%s    {\"subject\": %s, \"severity\": \"%s\", \"code\": %s", separator,
               json_string(f.subject).c_str(), severity_name(f.severity),
               json_string(f.code).c_str());
        if (f.place != FINDING_NO_PATH) {
            printf(", \"%s\": %s", f.place == FINDING_CARD_PATH ? "card_path" : "device_path",
                   json_string(f.path).c_str());
        }
        printf(", \"figures\": {");
        print_figures(f.figures);
        printf("}, \"text\": %s}", json_string(f.text).c_str());
        separator = ",\n";
    }
    printf("\n  ]\n}\n");
}
