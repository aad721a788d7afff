// Entry-point table of SDL2, loaded at run time by the loader as the player
// set's sound library. See av_entries.h for how the tables are built.
#pragma once

#include <SDL2/SDL.h>

// SDL2's mutex lock and unlock are the two names that the player calls under
// both their short and long spelling; SDL2 only exports the long ones.
#define ZELVO_SDL_FUNCTIONS(X)                                                                     \
  X(SDL_Init) X(SDL_InitSubSystem) X(SDL_QuitSubSystem) X(SDL_Quit) X(SDL_GetError) X(SDL_SetHint) \
  X(SDL_AddTimer) X(SDL_RemoveTimer) X(SDL_OpenAudioDevice) X(SDL_PauseAudioDevice)                \
  X(SDL_CloseAudioDevice) X(SDL_LockAudioDevice) X(SDL_UnlockAudioDevice) X(SDL_MixAudioFormat)    \
  X(SDL_GetAudioDeviceStatus) X(SDL_GetCurrentAudioDriver) X(SDL_GetNumAudioDevices)               \
  X(SDL_WaitEvent) X(SDL_WaitEventTimeout) X(SDL_PushEvent) X(SDL_PollEvent) X(SDL_EventState)     \
  X(SDL_RegisterEvents) X(SDL_CreateMutex) X(SDL_LockMutex) X(SDL_UnlockMutex)                     \
  X(SDL_DestroyMutex) X(SDL_CreateCond) X(SDL_DestroyCond) X(SDL_CondSignal) X(SDL_CondWait)       \
  X(SDL_CondWaitTimeout) X(SDL_CreateThread) X(SDL_WaitThread) X(SDL_GetTicks) X(SDL_Delay)        \
  X(SDL_GetVersion)

namespace zelvo::lib {

#define ZELVO_TABLE_SLOT(name) decltype(&::name) name = nullptr;
struct SdlEntries { ZELVO_SDL_FUNCTIONS(ZELVO_TABLE_SLOT) };
#undef ZELVO_TABLE_SLOT

extern SdlEntries sdl;

}  // namespace zelvo::lib
