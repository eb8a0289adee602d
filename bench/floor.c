/* Times the C library's exp and erfc per call.
 *
 * Built with -DFLOOR_VECTOR_ERFC (and -lmvec) when the extension takes erfc
 * from the C library's vector erfc: erfc_ns is then that function's time per
 * value, called on pairs as the extension calls it, and erfc_scalar_ns the
 * scalar erfc's, for comparison.
 *
 * Usage: floor EXP_ARGS ERFC_ARGS [PASSES]
 *
 * Each file holds raw native doubles: the arguments that one pass over the
 * benchmark's data hands to exp and to erfc, sampled from its own linear
 * predictors. Every pass calls the function once per argument; the program
 * prints the time per call over all passes together, in nanoseconds, as JSON:
 * by the thread's CPU clock, which does not count the time that other
 * programs on a shared machine take, and by the wall clock.
 *
 * All passes together, not the median pass: the passes stand for the calls of
 * one zarn call, which is timed once from start to end, slow stretches of a
 * shared machine included. A median of short passes would leave those out of
 * the floor alone.
 * Built with -O2 -ffp-contract=off and no -march, as the extension is. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#ifdef FLOOR_VECTOR_ERFC
#include <emmintrin.h>
__m128d _ZGVbN2v_erfc(__m128d);
#endif

/* Reads a whole file of doubles; returns NULL on failure. */
static double* read_doubles(const char* path, size_t* count) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) return NULL;
    double* values = NULL;
    size_t size = 0;
    if (fseek(file, 0, SEEK_END) == 0) {
        long bytes = ftell(file);
        if (bytes >= 0 && fseek(file, 0, SEEK_SET) == 0) {
            size = (size_t)bytes / sizeof(double);
            values = malloc(size > 0 ? size * sizeof(double) : 1);
            if (values != NULL && fread(values, sizeof(double), size, file) != size) {
                free(values);
                values = NULL;
            }
        }
    }
    fclose(file);
    *count = size;
    return values;
}

static double now_ns(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

/* The sums keep the calls from being optimised away. */
static volatile double sink;

struct per_call {
    double cpu_ns, wall_ns;
};

/* One pass over count arguments: one call per value; returns the sum of the results. */
typedef double (*pass_fn)(const double* args, size_t count);

static double exp_pass(const double* args, size_t count) {
    double sum = 0.0;
    for (size_t i = 0; i < count; ++i) sum += exp(args[i]);
    return sum;
}

static double erfc_pass(const double* args, size_t count) {
    double sum = 0.0;
    for (size_t i = 0; i < count; ++i) sum += erfc(args[i]);
    return sum;
}

#ifdef FLOOR_VECTOR_ERFC
/* The vector erfc on pairs of values, as the extension calls it; count is even. */
static double vector_erfc_pass(const double* args, size_t count) {
    __m128d sum = _mm_setzero_pd();
    for (size_t i = 0; i + 1 < count; i += 2) {
        sum = _mm_add_pd(sum, _ZGVbN2v_erfc(_mm_loadu_pd(args + i)));
    }
    return _mm_cvtsd_f64(sum);
}
#endif

/* Returns the CPU and wall time per value over all passes over the arguments. */
static struct per_call time_per_call(pass_fn pass, const double* args, size_t count, int passes) {
    struct per_call result = {0.0, 0.0};
    if (count == 0) return result;
    sink = pass(args, count); /* warms up */
    double cpu_start = now_ns(CLOCK_THREAD_CPUTIME_ID), wall_start = now_ns(CLOCK_MONOTONIC);
    for (int p = 0; p < passes; ++p) sink = pass(args, count);
    double wall_end = now_ns(CLOCK_MONOTONIC), cpu_end = now_ns(CLOCK_THREAD_CPUTIME_ID);
    double values = (double)count * (double)passes;
    result.cpu_ns = (cpu_end - cpu_start) / values;
    result.wall_ns = (wall_end - wall_start) / values;
    return result;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s EXP_ARGS ERFC_ARGS [PASSES]\n", argv[0]);
        return 2;
    }
    int passes = argc > 3 ? atoi(argv[3]) : 15;
    if (passes < 1) passes = 1;
    size_t exp_count = 0, erfc_count = 0;
    double* exp_args = read_doubles(argv[1], &exp_count);
    double* erfc_args = read_doubles(argv[2], &erfc_count);
    if (exp_args == NULL || erfc_args == NULL) {
        fprintf(stderr, "cannot read the argument files\n");
        return 1;
    }
    struct per_call e = time_per_call(exp_pass, exp_args, exp_count, passes);
    struct per_call scalar = time_per_call(erfc_pass, erfc_args, erfc_count, passes);
#ifdef FLOOR_VECTOR_ERFC
    struct per_call c = time_per_call(vector_erfc_pass, erfc_args, erfc_count - erfc_count % 2, passes);
#else
    struct per_call c = scalar;
#endif
    printf(
        "{\"exp_ns\": %.6f, \"exp_wall_ns\": %.6f, \"exp_args\": %zu, "
        "\"erfc_ns\": %.6f, \"erfc_wall_ns\": %.6f, \"erfc_args\": %zu, "
        "\"erfc_scalar_ns\": %.6f}\n",
        e.cpu_ns, e.wall_ns, exp_count, c.cpu_ns, c.wall_ns, erfc_count, scalar.cpu_ns);
    free(exp_args);
    free(erfc_args);
    return 0;
}
