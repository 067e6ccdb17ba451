#include "frontend/options.h"

namespace kelvor::frontend {

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
