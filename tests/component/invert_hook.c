/* A video hook library for the tests: inverts the first plane of every picture. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
  uint8_t* data[4];
  int linesize[4];
} HookPicture;

typedef struct {
  int frames;
} HookContext;

int Configure(void** ctx, int argc, char* argv[]) {
  (void)argc;
  (void)argv;
  *ctx = calloc(1, sizeof(HookContext));
  return *ctx ? 0 : 1;
}

void Process(void* ctx, HookPicture* picture, int pixFmt, int width, int height, int64_t pts) {
  (void)pixFmt;
  (void)pts;
  ((HookContext*)ctx)->frames++;
  for (int y = 0; y < height; ++y) {
    uint8_t* row = picture->data[0] + (ptrdiff_t)y * picture->linesize[0];
    for (int x = 0; x < width; ++x) row[x] = (uint8_t)(255 - row[x]);
  }
}

void Release(void* ctx) { free(ctx); }
