/* hov modem: the on-air signal of a share key, rendered to and heard from buffers the caller
 * owns. No devices, no threads, no files: the caller moves the samples.
 *
 * Threads: every function may be called from any thread. An encoder or a decoder is used by one
 * thread at a time (the caller serialises calls on one object); different objects are
 * independent and may be used on different threads at once. Nothing here calls back except the
 * inspector, on the thread that writes to its decoder, before that write returns.
 *
 * Errors: every function that can fail returns an int, HOV_MODEM_OK (0) or a negative
 * HOV_MODEM_ERROR_* code; a bad argument (null pointer, unknown choice, rate out of range) is
 * answered with an error and changes nothing. */
#ifndef HOV_MODEM_H
#define HOV_MODEM_H

#include <stddef.h>
#include <stdint.h>

#if defined(HOV_MODEM_BUILDING_LIBRARY)
#if defined(_WIN32)
#define HOV_MODEM_API
#else
#define HOV_MODEM_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32) && !defined(HOV_MODEM_STATIC)
#define HOV_MODEM_API __declspec(dllimport)
#else
#define HOV_MODEM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the functions. */
#define HOV_MODEM_OK 0
#define HOV_MODEM_ERROR_ARGUMENT (-1) /* null pointer, count or choice out of range */
#define HOV_MODEM_ERROR_KEY (-2)      /* not a share key: six letters A-Z */
#define HOV_MODEM_ERROR_RATE (-3)     /* sample rate outside 8000..384000 Hz */
#define HOV_MODEM_ERROR_UNAVAILABLE \
  (-4)                              /* that receiver (or its inspection) is not in this build */
#define HOV_MODEM_ERROR_MEMORY (-5) /* out of memory */

/* Codes of a decoder's result; 0 and -3 are those the library's receive callback gives. */
#define HOV_MODEM_RESULT_KEY 0            /* a share key was heard: key holds it */
#define HOV_MODEM_RESULT_LISTENING 1      /* nothing yet: write more samples */
#define HOV_MODEM_RESULT_UNDECODABLE (-3) /* a packet was accepted that is not a share key */

/* The receivers a decoder can run. */
#define HOV_MODEM_RECEIVER_DESIGN 0 /* the library's receiver, decision for decision */
#define HOV_MODEM_RECEIVER_ROBUST 1 /* the robust receiver: any rate from 44100 Hz as it is */

/* Any thread. The library's version, "major.minor.patch"; a static text, never null. */
HOV_MODEM_API const char* hov_modem_version(void);

/* The numbers of the on-air signal and of the design receiver, as the library uses them. */
typedef struct hov_modem_format {
  int sample_rate;      /* 48000: the rate of the signal and of the receiver's analysis */
  int tone_count;       /* 16; a symbol carries 4 bits */
  double first_tone_hz; /* 19125.0, tone 0 */
  double tone_step_hz;  /* 46.875 between neighbouring tones */
  double band_low_hz;   /* 19100.0, the band the tones are planned in */
  double band_high_hz;  /* 19900.0 */
  int symbol_frames;    /* 4096 frames per symbol */
  int frame_length;     /* 1024: the receiver's FFT frame, a quarter symbol */
  int packet_symbols;   /* 10: eight of payload, then the two-symbol separator */
  int payload_bytes;    /* 4: the encoded key */
  int decoder_count;    /* 10 staggered decoders in the design receiver */
  int decoder_stagger;  /* 9600 frames between the starts of their windows */
  int window_frames;    /* 45056 frames (eleven symbols) in a decoder's window */
  int accept_votes;     /* 2 decoders must agree on a key */
  int fade_frames;      /* 24000: the cross-fade of a key update */
} hov_modem_format;

/* Any thread. Fills *format; HOV_MODEM_ERROR_ARGUMENT when format is null. */
HOV_MODEM_API int hov_modem_get_format(hov_modem_format* format);

/* Any thread. *receiver = HOV_MODEM_RECEIVER_* for "design" or "robust";
 * HOV_MODEM_ERROR_ARGUMENT for null or any other name, *receiver unchanged. */
HOV_MODEM_API int hov_modem_receiver_from_name(const char* name, int* receiver);

/* ---- Encoder: share key -> mono PCM at 48000 Hz, the sender's samples exactly. ---- */

typedef struct hov_modem_encoder hov_modem_encoder;

/* Any thread. *encoder = a new encoder of share_key (six letters A-Z), at the start of the
 * signal; the caller frees it with hov_modem_encoder_destroy. On an error *encoder is null. */
HOV_MODEM_API int hov_modem_encoder_create(const char* share_key, hov_modem_encoder** encoder);
/* The encoder's thread. Switches to share_key as the sender does: the next 24000 frames read
 * are the old key fading out, silence, and the new key fading in. A bad key changes nothing. */
HOV_MODEM_API int hov_modem_encoder_update(hov_modem_encoder* encoder, const char* share_key);
/* The encoder's thread. Writes the next frames samples of the signal (16-bit, as played); the
 * stream is the same whatever the sizes of the reads. frames may be 0. */
HOV_MODEM_API int hov_modem_encoder_read_s16(hov_modem_encoder* encoder, int16_t* samples,
                                             size_t frames);
/* The encoder's thread. As the 16-bit read, each sample divided by 32768 (exact in float). */
HOV_MODEM_API int hov_modem_encoder_read_f32(hov_modem_encoder* encoder, float* samples,
                                             size_t frames);
/* The encoder's thread. Frees the encoder; null is ignored. The pointer is invalid after. */
HOV_MODEM_API void hov_modem_encoder_destroy(hov_modem_encoder* encoder);

/* ---- Decoder: mono PCM at any rate, in any chunks -> a share key. ---- */

typedef struct hov_modem_decoder hov_modem_decoder;

typedef struct hov_modem_result {
  int code;      /* HOV_MODEM_RESULT_* */
  char key[8];   /* the six letters and a zero byte when code is 0; empty otherwise */
  int64_t frame; /* input frames (at the input's rate) written when the result came: the end of
                    the write that brought it; -1 while listening */
} hov_modem_result;

/* Any thread. *decoder = a new decoder of mono PCM at sample_rate (8000..384000 Hz) running
 * receiver (HOV_MODEM_RECEIVER_*). The design receiver hears 48000 Hz: any other rate is
 * resampled to it inside; the robust one hears rates from 44100 Hz as they are. The caller frees
 * it with hov_modem_decoder_destroy. On an error *decoder is null. */
HOV_MODEM_API int hov_modem_decoder_create(int sample_rate, int receiver,
                                           hov_modem_decoder** decoder);
/* The decoder's thread. Hands frames samples to the receiver; each write is one buffer as a
 * capture device would deliver it. Once a result has come, further samples are ignored. If
 * result is not null, *result is the decoder's result after this write. frames may be 0. */
HOV_MODEM_API int hov_modem_decoder_write_s16(hov_modem_decoder* decoder, const int16_t* samples,
                                              size_t frames, hov_modem_result* result);
/* The decoder's thread. As the 16-bit write, samples at full scale at +-1.0: each becomes
 * round(sample * 32768), held to -32768..32767. */
HOV_MODEM_API int hov_modem_decoder_write_f32(hov_modem_decoder* decoder, const float* samples,
                                              size_t frames, hov_modem_result* result);
/* The decoder's thread. *result = the decoder's result so far. */
HOV_MODEM_API int hov_modem_decoder_result(const hov_modem_decoder* decoder,
                                           hov_modem_result* result);
/* The decoder's thread. Frees the decoder; null is ignored. The pointer is invalid after. */
HOV_MODEM_API void hov_modem_decoder_destroy(hov_modem_decoder* decoder);

/* ---- Inspection: what each of the design receiver's decoders read, as it happens. ---- */

typedef struct hov_modem_window {
  int decoder;           /* 1..decoder_count */
  int64_t start_frame;   /* frames of the 48000 Hz stream before its window starts */
  int64_t frame;         /* frames of the 48000 Hz stream read when this was reported */
  int repeated;          /* 0: the window just completed; 1: its end read again later */
  float phase_scores[4]; /* summed peak ratios of the four frame phases */
  int best_phase;        /* 0..3 */
  int tone_count;        /* symbols in tones (11) */
  uint8_t tones[16];     /* strongest tone of each symbol slot of the best phase */
  int packet;            /* 1: a separator was found and bytes hold the packet */
  uint8_t bytes[4];      /* the packet */
  char key[8];           /* the packet's share key; empty when the check failed */
  int votes;             /* the key's votes after this one; 0: no vote */
  int accepted;          /* 1: this vote accepted the key */
} hov_modem_window;

/* Called on the decoder's thread, inside a write, for every window report; *window is valid
 * only during the call. It must not call into the same decoder. */
typedef void (*hov_modem_inspector)(void* context, const hov_modem_window* window);

/* The decoder's thread, before the first write. Installs inspector (null removes it) with its
 * context. HOV_MODEM_ERROR_UNAVAILABLE for a receiver without this inspection (robust). */
HOV_MODEM_API int hov_modem_decoder_set_inspector(hov_modem_decoder* decoder,
                                                  hov_modem_inspector inspector, void* context);

/* What the robust receiver's last search saw on its best hypothesis. */
typedef struct hov_modem_robust_view {
  int64_t frame;     /* input frames (at the receiver's rate) read at that search; -1: none */
  int64_t searches;  /* searches run so far */
  int repetitions;   /* packets summed on the best hypothesis (at most 3) */
  int shift_bins;    /* frequency offset in spectrum bins */
  double offset_ppm; /* the sender's clock error that offset implies */
  int phase;         /* symbol phase, in eighths of a symbol */
  int separator;     /* cycle position of the first separator symbol; -1: none */
  int tones[3][10];  /* tone read at each cycle position, per packet (row 0 newest); -2 not
                        read, -1 and 16 the tones just beyond the band */
  int summed[10];    /* the tones of the summed packets */
  float margins[10]; /* best minus second tone, in noise-floor units */
  float rivals[10];  /* second over best */
  float min_margin;  /* the smallest margin */
  char verdict[32];  /* why it was accepted or refused ("accepted", "weak margin", ...) */
} hov_modem_robust_view;

/* The decoder's thread, between writes. *view = the robust receiver's last search;
 * HOV_MODEM_ERROR_UNAVAILABLE for a decoder running another receiver. */
HOV_MODEM_API int hov_modem_decoder_robust_view(const hov_modem_decoder* decoder,
                                                hov_modem_robust_view* view);

#ifdef __cplusplus
}
#endif

#endif /* HOV_MODEM_H */
