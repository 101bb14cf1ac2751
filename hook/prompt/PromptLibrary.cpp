// The prompt library's entry: KestrixHook9Prompt.dylib / KestrixHook7Prompt.dylib,
// which the hook library loads in SpringBoard only. Built once per variant.
#include <new>

#include "hook/prompt/KstPopUpPrompt.h"

#ifndef KESTRIX_HOOK7
#define KESTRIX_HOOK7 0
#endif

extern "C" __attribute__((visibility("default"))) kst::KstPopUp* KstPopUpCreate(
    const kst::KstPromptContext* context) {
  if (context == nullptr) return nullptr;
  kst::PromptOptions options;
  options.hook7 = KESTRIX_HOOK7 != 0;
  try {
    return new kst::KstPopUpPrompt(*context, std::move(options));
  } catch (...) {
    return nullptr;
  }
}
