/* A program outside the project that uses the installed library: scores
 * two 8 kHz WAV files (16-bit mono behind a 44-byte header) with the delay
 * searched, and prints the scores as the tool rounds them. */
#include <stdio.h>
#include <stdlib.h>

#include <kelvor/stoi.h>

static int16_t* load(const char* path, int64_t* count) {
    FILE* f = fopen(path, "rb");
    if (f == NULL || fseek(f, 0, SEEK_END) != 0) return NULL;
    long size = ftell(f);
    int16_t* samples = malloc(size > 44 ? (size_t)size : 2);
    *count = size > 44 ? (size - 44) / 2 : 0;
    if (samples == NULL || fseek(f, 44, SEEK_SET) != 0 ||
        fread(samples, 2, (size_t)*count, f) != (size_t)*count) {
        return NULL;
    }
    fclose(f);
    return samples;
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    int64_t ref_count = 0, deg_count = 0;
    int16_t* ref = load(argv[1], &ref_count);
    int16_t* deg = load(argv[2], &deg_count);
    if (ref == NULL || deg == NULL) return 2;

    kelvor_options options = {0};
    options.align = 1;
    kelvor_scores scores;
    int status = kelvor_score_pcm8k(ref, ref_count, deg, deg_count, &options, &scores);
    if (status != KELVOR_OK) {
        printf("%s\n", kelvor_status_text(status));
        return 1;
    }
    printf("kelvor %s: STOI %.4g ESTOI %.4g delay %d\n", kelvor_version(), scores.stoi, scores.estoi, scores.delay);
    /* A refused call says why. */
    options.shift = 5;
    printf("%s\n", kelvor_status_text(kelvor_score_pcm8k(ref, ref_count, deg, deg_count, &options, &scores)));
    free(ref);
    free(deg);
    return 0;
}
