// The options of a pair, one record for every front end: the library's own
// kelvor_options (how the pair is lined up and scored) and the reading
// options (how its files are read), and the table of their members that
// the run record, the Python classes and the Dask tasks are made from.
#ifndef KELVOR_FRONTEND_OPTIONS_H
#define KELVOR_FRONTEND_OPTIONS_H

#include <climits>
#include <string>

#include "frontend/audio_file.h"
#include "kelvor/stoi.h"

namespace kelvor::frontend {

// How kelvor-batch's user asks for signals of different lengths to be
// padded or trimmed; other front ends name their own (PairOptions).
inline constexpr const char* BATCH_UNEQUAL_OPTION = "--unequal pad or --unequal trim";

struct PairOptions {
    // Every member zero (the library's promise for members it adds later:
    // zero keeps the behaviour of the versions before them) but the
    // profile, which front ends name: the reference profile.
    kelvor_options scoring = [] {
        kelvor_options o{};
        o.profile = KELVOR_PROFILE_REFERENCE;
        return o;
    }();
    AudioOptions reading;
    // How the front end's user asks for signals of different lengths to be
    // padded or trimmed, for the message of a length_mismatch row.
    const char* unequal_option = BATCH_UNEQUAL_OPTION;
};

// The names of kelvor_options.unequal's values, as every front end takes
// them: "default" (the profile's rule), "refuse", "pad", "trim"; and the
// value of a name, -1 for none.
const char* unequal_name(int unequal);
int unequal_from_name(const char* name);

// What an option's number means, for those that write it or take it by
// name: a flag (0 or 1), a count (a whole number) or a choice among names
// (the profile: "reference", "tool").
enum class OptionKind { flag, count, choice };

// One member of PairOptions: its name (the run record's key, Python's
// keyword and attribute), its kind, the values a front end's user may give
// it, and where it lies (exactly one member pointer is set). A choice
// names its values through the library's pair of functions. The values
// themselves are the library's to judge (a shift's range at the files'
// rate, the rates it resamples): least and most only keep out what cannot
// be an option at all.
struct OptionField {
    const char* name;
    OptionKind kind;
    int least;
    int most;
    int kelvor_options::*scoring;
    int AudioOptions::*reading;
    const char* (*name_of)(int) = nullptr;   // choice: the name of a value
    int (*value_of)(const char*) = nullptr;  // choice: the value of a name, < 0 for none
    // The value that a run record without this option stands for: the
    // behaviour of the versions before the option (zero, unless the zero
    // of a new option names a default that changed with it).
    int absent = 0;
};

// Every option of a pair, in the order records and messages list them. An
// option added to kelvor_options or AudioOptions is one line here: the
// run record (and so --resume), the Python record and the Dask tasks
// carry it from this table.
inline constexpr OptionField OPTION_FIELDS[] = {
    {"align", OptionKind::flag, 0, 1, &kelvor_options::align, nullptr},
    {"shift", OptionKind::count, INT_MIN, INT_MAX, &kelvor_options::shift, nullptr},
    {"double_table", OptionKind::flag, 0, 1, &kelvor_options::double_table, nullptr},
    {"profile", OptionKind::choice, KELVOR_PROFILE_REFERENCE, KELVOR_PROFILE_TOOL, &kelvor_options::profile, nullptr,
     &kelvor_profile_name, &kelvor_profile_from_name},
    // Versions before it padded in every profile.
    {"unequal", OptionKind::choice, KELVOR_UNEQUAL_DEFAULT, KELVOR_UNEQUAL_TRIM, &kelvor_options::unequal, nullptr,
     &unequal_name, &unequal_from_name, KELVOR_UNEQUAL_PAD},
    {"raw_rate", OptionKind::count, 1, INT_MAX, nullptr, &AudioOptions::raw_rate},
    {"channel", OptionKind::count, 0, MAX_CHANNEL, nullptr, &AudioOptions::channel},
};

// The value of one option of a record, and a place to set it.
int option_value(const PairOptions& options, const OptionField& field);
int& option_value(PairOptions& options, const OptionField& field);

// The option named name; nullptr when there is none.
const OptionField* find_option(const std::string& name);

// The names a choice may be given, for messages: "'reference' or 'tool'".
std::string choice_names(const OptionField& field);

}  // namespace kelvor::frontend

#endif
