// What a zqbmp command finds, as records: each person-readable line is the
// text of one finding, and --format json writes the same findings as one
// document, so that the two cannot disagree.
#pragma once

#include <string>
#include <vector>

enum finding_severity {
    FINDING_NOTE,     // what the device will do, as meant
    FINDING_WARNING,  // a finding only with --strict
    FINDING_ERROR,    // a finding
};

// Where a finding's path lies: on the card as the device reads it
// (/sdcard/...), or where the device puts it (/system/..., /data/...).
enum finding_place {
    FINDING_NO_PATH,
    FINDING_CARD_PATH,
    FINDING_DEVICE_PATH,
};

struct finding_figure {
    std::string name;
    long long value;
};

struct finding {
    std::string subject;  // what it is about: a file or entry's name, or a part ("screen", "font")
    finding_severity severity = FINDING_NOTE;
    std::string code;  // stable, lower case with dashes: what kind of finding
    finding_place place = FINDING_NO_PATH;
    std::string path;
    std::vector<finding_figure> figures;
    std::string text;  // the person-readable line, without its line end
};

// The findings of one run: printed as they come, or kept for one document.
struct finding_report {
    bool json = false;
    std::vector<finding> findings;
};

// Adds a finding; in text mode its line goes to standard output at once.
void report_add(finding_report* report, finding f);
// In JSON mode, the document: {"command", "status", "findings": [{"subject",
// "severity", "code", "card_path" or "device_path", "figures": {...},
// "text"}], and the summary's figures}. Nothing in text mode.
void report_finish(const finding_report& report, const char* command, int status,
                   const std::vector<finding_figure>& summary);

// The report of the running command, where say adds; nullptr: lines only.
extern finding_report* current_report;
// A finding of the running command from its line, "SUBJECT: message": the
// subject is the text before the first ": "; a media file's subject names
// its device path, /ZQ/media/NAME.
__attribute__((format(printf, 3, 4))) void say(finding_severity severity, const char* code,
                                               const char* format, ...);
// The same, with the finding's figures.
__attribute__((format(printf, 4, 5))) void say(finding_severity severity, const char* code,
                                               std::vector<finding_figure> figures,
                                               const char* format, ...);
