#include "frontend/options.h"

#include <cstring>

namespace kelvor::frontend {

namespace {

// The names of kelvor_options.unequal's values, by value.
constexpr const char* UNEQUAL_NAMES[] = {"default", "refuse", "pad", "trim"};
static_assert(KELVOR_UNEQUAL_DEFAULT == 0 && KELVOR_UNEQUAL_REFUSE == 1 && KELVOR_UNEQUAL_PAD == 2 &&
                  KELVOR_UNEQUAL_TRIM == 3,
              "UNEQUAL_NAMES lists the values in order");

}  // namespace

const char* unequal_name(int unequal) {
    return unequal >= 0 && unequal <= KELVOR_UNEQUAL_TRIM ? UNEQUAL_NAMES[unequal] : "unknown";
}

int unequal_from_name(const char* name) {
    for (int value = 0; value <= KELVOR_UNEQUAL_TRIM; value++) {
        if (std::strcmp(name, UNEQUAL_NAMES[value]) == 0) return value;
    }
    return -1;
}

int option_value(const PairOptions& options, const OptionField& field) {
    return field.scoring != nullptr ? options.scoring.*field.scoring : options.reading.*field.reading;
}

int& option_value(PairOptions& options, const OptionField& field) {
    return field.scoring != nullptr ? options.scoring.*field.scoring : options.reading.*field.reading;
}

const OptionField* find_option(const std::string& name) {
    for (const OptionField& field : OPTION_FIELDS) {
        if (name == field.name) return &field;
    }
    return nullptr;
}

std::string choice_names(const OptionField& field) {
    std::string text;
    for (int value = field.least; value <= field.most; value++) {
        text += value == field.least ? "" : value == field.most ? " or " : ", ";
        text += std::string("'") + field.name_of(value) + "'";
    }
    return text;
}

}  // namespace kelvor::frontend
