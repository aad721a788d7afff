#include "media/option_contexts.h"

#include "media/engine_log.h"

namespace zelvo {

namespace {

const int kTypeFlags[kOptionMediaTypes] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                           AV_OPT_FLAG_SUBTITLE_PARAM, 0};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

void InitOptionContexts(OptionContexts& o) { o = OptionContexts{}; }

void AllocOptionContexts(OptionContexts& o, int swsFlags) {
  static const AVMediaType kTypes[kOptionMediaTypes] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_DATA,
                                                        AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_ATTACHMENT};
  for (int i = 0; i < kOptionMediaTypes; ++i) {
    o.CodecOpts[i].reset(lib::avcodec.avcodec_alloc_context3(nullptr));
    if (o.CodecOpts[i]) o.CodecOpts[i]->codec_type = kTypes[i];
  }
  o.FormatOpts.reset(lib::avformat.avformat_alloc_context());
  o.SwsOpts.reset(lib::swscale.sws_alloc_context());
  if (o.SwsOpts) lib::avutil.av_opt_set_int(o.SwsOpts.get(), "sws_flags", swsFlags, 0);
}

void FreeOptionContexts(OptionContexts& o) { o = OptionContexts{}; }

bool OptDefault(OptionContexts& o, const std::string& rawName, const std::string& rawValue) {
  const std::string name = Trim(rawName), value = Trim(rawValue);
  if (name.empty() || value.empty() || !o.CodecOpts[0]) return false;

  const AVOption* found = nullptr;
  unsigned holders = 0;
  int ret = 0;
  for (int type = 0; type < kOptionMediaTypes && ret >= 0; ++type) {
    const AVOption* opt = lib::avutil.av_opt_find(o.CodecOpts[0].get(), name.c_str(), nullptr, kTypeFlags[type], 0);
    if (opt) {
      found = opt;
      ret = lib::avutil.av_opt_set(o.CodecOpts[type].get(), name.c_str(), value.c_str(), 0);
      if (ret >= 0) holders |= 1u << type;
    }
  }
  auto trySet = [&](void* obj, const std::string& n, unsigned holder) {
    if (found || !obj) return;
    if (const AVOption* opt = lib::avutil.av_opt_find(obj, n.c_str(), nullptr, 0, 0)) {
      found = opt;
      ret = lib::avutil.av_opt_set(obj, n.c_str(), value.c_str(), 0);
      holders |= holder;
    }
  };
  trySet(o.FormatOpts.get(), name, kFormatHolder);
  trySet(o.SwsOpts.get(), name, kScalerHolder);
  if (!found && name.size() > 1) {
    int type = name[0] == 'a' ? 1 : name[0] == 'v' ? 0 : name[0] == 's' ? 3 : -1;
    if (type >= 0) trySet(o.CodecOpts[type].get(), name.substr(1), 1u << type);
  }
  if (found && ret < 0) {
    lib::avutil.av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(), name.c_str());
    return false;
  }
  if (!found) return false;
  o.OptNames.emplace_back(found->name);
  o.Remembered.push_back({found->name, value, holders});

  std::int64_t debug = 0, fdebug = 0;
  lib::avutil.av_opt_get_int(o.CodecOpts[0].get(), "debug", 0, &debug);
  if (o.FormatOpts) lib::avutil.av_opt_get_int(o.FormatOpts.get(), "fdebug", 0, &fdebug);
  if (debug != 0 || fdebug != 0) EngineLog::Logger().SetLogLevel(LogLevel::llDebug);
  return true;
}

void SetContextOpts(const OptionContexts& o, void* target, void* holder, int flags) {
  unsigned bit = 0;
  for (int i = 0; i < kOptionMediaTypes; ++i)
    if (holder == o.CodecOpts[i].get()) bit = 1u << i;
  if (holder == o.FormatOpts.get()) bit = kFormatHolder;
  if (holder == o.SwsOpts.get()) bit = kScalerHolder;
  if (bit == 0 || target == nullptr) return;
  for (const RememberedOption& r : o.Remembered) {
    if ((r.Holders & bit) == 0) continue;
    const AVOption* opt = lib::avutil.av_opt_find(target, r.Name.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN);
    if (!opt || (opt->flags & flags) != flags) continue;
    lib::avutil.av_opt_set(target, r.Name.c_str(), r.Value.c_str(), AV_OPT_SEARCH_CHILDREN);
  }
}

}  // namespace zelvo
