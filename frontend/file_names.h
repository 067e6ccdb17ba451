// The names of the files front ends read, told apart by their extension
// (in any case): audio files, headerless 16-bit samples, listings.
#ifndef KELVOR_FRONTEND_FILE_NAMES_H
#define KELVOR_FRONTEND_FILE_NAMES_H

#include <string>

namespace kelvor::frontend {

// Headerless 16-bit little-endian mono samples, read at a rate given
// apart (AudioOptions::raw_rate).
inline constexpr const char* RAW_EXTENSIONS[] = {".pcm", ".raw"};
// What a folder listing takes as audio: the containers libsndfile reads,
// and the raw files.
inline constexpr const char* AUDIO_EXTENSIONS[] = {".wav", ".wave", ".flac", ".ogg", ".oga", ".opus",
                                                   ".aif", ".aiff", ".aifc", ".au",  ".snd", ".caf",
                                                   ".w64", ".rf64", ".pcm", ".raw"};
// Listings: manifests (CSV, TSV) and id lists, by the names they are
// usually given.
inline constexpr const char* TSV_EXTENSION = ".tsv";
inline constexpr const char* CSV_EXTENSION = ".csv";
inline constexpr const char* LISTING_EXTENSIONS[] = {".csv", ".tsv", ".scp", ".txt", ".lst"};

// True when name ends in extension (written with its dot, in lower case),
// in any case: "x.WAV" has the extension ".wav".
bool has_extension(const std::string& name, const char* extension);

bool is_raw_name(const std::string& name);
bool is_audio_name(const std::string& name);
bool is_listing_name(const std::string& name);

}  // namespace kelvor::frontend

#endif
