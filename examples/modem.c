/* The modem on buffers: renders a share key to 16-bit samples at 48000 Hz, then hears it back
 * from the same samples at 44100 Hz as float, in chunks of 1000 frames. Prints the key and the
 * frame at which it was accepted; exit status 0 when the key sent comes back.
 * Usage: modem [KEY] */
#include <hov/modem.h>

#include <stdio.h>
#include <stdlib.h>

#define SECONDS 3

int main(int argc, char** argv) {
  const char* key = argc > 1 ? argv[1] : "ABCDEF";
  hov_modem_format format;
  hov_modem_get_format(&format);
  printf("hov modem %s: %d tones from %.3f Hz\n", hov_modem_version(), format.tone_count,
         format.first_tone_hz);

  /* Encode: any number of frames per read. */
  size_t frames = (size_t)SECONDS * (size_t)format.sample_rate;
  int16_t* pcm = malloc(frames * sizeof *pcm);
  hov_modem_encoder* encoder = NULL;
  int status = hov_modem_encoder_create(key, &encoder);
  if (pcm == NULL || status != HOV_MODEM_OK) {
    fprintf(stderr, "cannot encode '%s': %d\n", key, status);
    return 1;
  }
  hov_modem_encoder_read_s16(encoder, pcm, frames);
  hov_modem_encoder_destroy(encoder);

  /* The samples as a 44100 Hz capture would hold them (nearest sample, for brevity). */
  size_t captured = frames * 44100 / (size_t)format.sample_rate;
  float* capture = malloc(captured * sizeof *capture);
  if (capture == NULL) {
    return 1;
  }
  for (size_t i = 0; i < captured; ++i) {
    capture[i] = pcm[i * (size_t)format.sample_rate / 44100] / 32768.0f;
  }

  /* Decode: the decoder resamples to its own rate inside. */
  hov_modem_decoder* decoder = NULL;
  hov_modem_decoder_create(44100, HOV_MODEM_RECEIVER_DESIGN, &decoder);
  hov_modem_result result = {HOV_MODEM_RESULT_LISTENING, "", -1};
  for (size_t at = 0; at < captured && result.code == HOV_MODEM_RESULT_LISTENING; at += 1000) {
    size_t n = captured - at < 1000 ? captured - at : 1000;
    hov_modem_decoder_write_f32(decoder, capture + at, n, &result);
  }
  hov_modem_decoder_destroy(decoder);
  free(capture);
  free(pcm);
  if (result.code != HOV_MODEM_RESULT_KEY) {
    printf("no key (code %d)\n", result.code);
    return 2;
  }
  printf("heard %s at frame %lld\n", result.key, (long long)result.frame);
  return 0;
}
