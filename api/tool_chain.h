// The tool profile's chain, for signals held whole in memory: on 8 kHz
// 16-bit samples the KELVOR_STOI tool's delay search, its resampler to
// 10 kHz rounded to 16 bits and its measures; on 10 kHz doubles
// (kelvor_score_10k) the tool's measures on the doubles as they are, with
// a delay search at 10 kHz.
#ifndef API_TOOL_CHAIN_H
#define API_TOOL_CHAIN_H

#include "api/request.h"
#include "kelvor/stoi.h"

namespace kelvor {

// Scores a checked request in the tool profile (check_request; o its
// options, resolved): the scores into *out or, with details non-null, a
// details block into *details. Both signals are read whole; a reference
// whose samples are all zero is KELVOR_ERR_SILENT. Returns KELVOR_OK or a
// status.
int score_tool(const ScoreRequest& q, const kelvor_options& o, kelvor_scores* out, kelvor_details** details);

}  // namespace kelvor

#endif
