#include "engine/presets.h"

#include <strings.h>

#include <map>
#include <set>

namespace zelvo {

namespace {

// The device presets keep their lines as written for the older libx264
// wrapper; they are translated when applied (TranslateLegacyX264Preset).
#define ZELVO_DEVICE_COMMON_HEAD                                                                 \
  "flags=+loop\nlevel=30\ncmp=+chroma\n"
#define ZELVO_DEVICE_COMMON_MID                                                                  \
  "me_method=umh\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n" \
  "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\n"

const char kPsp[] = "coder=1\n" ZELVO_DEVICE_COMMON_HEAD
                    "partitions=+parti4x4+parti8x8+partp8x8+partb8x8\n" ZELVO_DEVICE_COMMON_MID
                    "bf=3\nrefs=1\ndirectpred=1\ntrellis=2\nb=1250000\nmaxrate=1500000\nbufsize=4000000\n"
                    "bt=256000\nsc_threshold=40";
const char kPs3[] = "coder=1\n" ZELVO_DEVICE_COMMON_HEAD
                    "partitions=+parti4x4+parti8x8+partp8x8+partb8x8\n" ZELVO_DEVICE_COMMON_MID
                    "bf=3\nrefs=1\ndirectpred=1\ntrellis=2\nmaxrate=3500000\nbufsize=4000000\nbt=256000\n"
                    "sc_threshold=40";
const char kIpod[] = "coder=0\n" ZELVO_DEVICE_COMMON_HEAD "partitions=+parti4x4+parti8x8+partp8x8\n" ZELVO_DEVICE_COMMON_MID
                     "refs=1\ndirectpred=1\ntrellis=2\nb=1000000\nmaxrate=1250000\nbufsize=4000000\nbt=256000\n"
                     "sc_threshold=40";

// The stock rows select the present encoder's own presets, profiles and
// lossless quantiser, which is what their names stand for; "_firstpass"
// rows add the fast first pass.
const std::vector<OptionsPreset> kPresets = {
    {"libx264-baseline", "profile=baseline"},
    {"libx264-default", "preset=medium"},
    {"libx264-fast", "preset=fast"},
    {"libx264-fast_firstpass", "preset=fast\nfastfirstpass=1"},
    {"libx264-faster", "preset=faster"},
    {"libx264-faster_firstpass", "preset=faster\nfastfirstpass=1"},
    {"libx264-fastfirstpass", "preset=medium\nfastfirstpass=1"},
    {"libx264-hq", "preset=slow"},
    {"libx264-ipod320", "profile=baseline\nlevel=13\nmaxrate=768000\nbufsize=3000000"},
    {"libx264-ipod640", "profile=baseline\nlevel=30\nmaxrate=10000000\nbufsize=10000000"},
    {"libx264-lossless_fast", "preset=fast\nqp=0"},
    {"libx264-lossless_max", "preset=placebo\nqp=0"},
    {"libx264-lossless_medium", "preset=medium\nqp=0"},
    {"libx264-lossless_slow", "preset=slow\nqp=0"},
    {"libx264-lossless_slower", "preset=slower\nqp=0"},
    {"libx264-lossless_ultrafast", "preset=ultrafast\nqp=0"},
    {"libx264-main", "profile=main"},
    {"libx264-max", "preset=placebo"},
    {"libx264-medium", "preset=medium"},
    {"libx264-medium_firstpass", "preset=medium\nfastfirstpass=1"},
    {"libx264-normal", "preset=medium"},
    {"libx264-placebo", "preset=placebo"},
    {"libx264-placebo_firstpass", "preset=placebo\nfastfirstpass=1"},
    {"libx264-slow", "preset=slow"},
    {"libx264-slow_firstpass", "preset=slow\nfastfirstpass=1"},
    {"libx264-slower", "preset=slower"},
    {"libx264-slower_firstpass", "preset=slower\nfastfirstpass=1"},
    {"libx264-slowfirstpass", "preset=slow\nfastfirstpass=1"},
    {"libx264-superfast", "preset=superfast"},
    {"libx264-superfast_firstpass", "preset=superfast\nfastfirstpass=1"},
    {"libx264-ultrafast", "preset=ultrafast"},
    {"libx264-ultrafast_firstpass", "preset=ultrafast\nfastfirstpass=1"},
    {"libx264-veryfast", "preset=veryfast"},
    {"libx264-veryfast_firstpass", "preset=veryfast\nfastfirstpass=1"},
    {"libx264-veryslow", "preset=veryslow"},
    {"libx264-veryslow_firstpass", "preset=veryslow\nfastfirstpass=1"},
    {"libx264-psp", kPsp},
    {"libx264-ps3", kPs3},
    {"libx264-ipod", kIpod},
    {"libx264-mp4", kPsp},
};

// A flag-word value: tokens with "+"/"-" change the current set; a first
// token without a sign replaces it.
void ApplyFlagTokens(const std::string& value, std::map<std::string, bool>& known,
                     std::vector<std::string>* unknownTokens) {
  size_t i = 0;
  bool first = true;
  while (i < value.size()) {
    char sign = 0;
    if (value[i] == '+' || value[i] == '-') sign = value[i++];
    size_t end = value.find_first_of("+-", i);
    std::string token = value.substr(i, end == std::string::npos ? std::string::npos : end - i);
    i = end == std::string::npos ? value.size() : end;
    if (token.empty()) continue;
    if (first && sign == 0)
      for (auto& k : known) k.second = false;
    first = false;
    auto it = known.find(token);
    if (it != known.end()) it->second = sign != '-';
    else if (unknownTokens) unknownTokens->push_back(std::string(1, sign ? sign : '+') + token);
  }
}

const std::set<std::string> kLegacyNames = {"directpred", "flags2",     "cqp",          "rc_lookahead",
                                            "aq_mode",    "aq_strength", "psy_rd",      "psy_trellis",
                                            "deblockalpha", "deblockbeta", "complexityblur", "nr",
                                            "me_threshold", "mb_threshold"};

}  // namespace

const std::vector<OptionsPreset>& OptionsPresets() { return kPresets; }

const OptionsPreset* FindOptionsPreset(const std::string& name) {
  for (const OptionsPreset& p : kPresets)
    if (strcasecmp(p.Name, name.c_str()) == 0) return &p;
  return nullptr;
}

bool IsLegacyX264Preset(const std::vector<PresetLine>& lines) {
  for (const PresetLine& l : lines) {
    if (kLegacyNames.count(l.name)) return true;
    if (l.name == "partitions" && l.value.find("part") != std::string::npos) return true;
  }
  return false;
}

std::vector<PresetLine> TranslateLegacyX264Preset(const std::vector<PresetLine>& lines) {
  // The generic defaults the older wrapper started from.
  std::string coder = "0", bf = "0", refs = "1", trellis = "0", wpredp = "0", directpred = "2";
  bool loop = false, chroma = false;
  std::map<std::string, bool> partitions = {{"parti4x4", false}, {"parti8x8", false}, {"partp4x4", false},
                                            {"partp8x8", false}, {"partb8x8", false}};
  std::map<std::string, bool> flags2 = {{"dct8x8", false}, {"wpred", false}, {"bpyramid", false},
                                        {"mixed_refs", false}, {"fastpskip", true}, {"mbtree", true},
                                        {"psy", true}, {"aud", false}, {"ssim", false}};
  std::string psyRd = "1.0", psyTrellis = "0.0", deblockAlpha, deblockBeta;
  bool psyRdSet = false, deblockSet = false;

  std::vector<PresetLine> out;
  auto emit = [&out](const std::string& line, const std::string& name, const std::string& value) {
    out.push_back({line, name, value});
  };
  for (const PresetLine& l : lines) {
    const std::string& n = l.name;
    const std::string& v = l.value;
    if (n == "coder") coder = v;
    else if (n == "bf") bf = v;
    else if (n == "refs") refs = v;
    else if (n == "trellis") trellis = v;
    else if (n == "wpredp") wpredp = v;
    else if (n == "directpred") directpred = v;
    else if (n == "flags") {
      std::map<std::string, bool> loopFlag = {{"loop", loop}};
      std::vector<std::string> rest;
      ApplyFlagTokens(v, loopFlag, &rest);
      loop = loopFlag["loop"];
      std::string restText;
      for (const auto& t : rest) restText += t;
      if (!restText.empty()) emit(l.line, "flags", restText);
    } else if (n == "cmp") {
      if (v == "+chroma" || v == "chroma" || v == "256") chroma = true;
      else if (v == "-chroma" || v == "0") chroma = false;
      else emit(l.line, n, v);
    } else if (n == "partitions") {
      ApplyFlagTokens(v, partitions, nullptr);
    } else if (n == "flags2") {
      std::vector<std::string> rest;
      ApplyFlagTokens(v, flags2, &rest);
      // Tokens that are not encoder parameters stay generic flags2 bits.
      std::string restText;
      for (const auto& t : rest)
        if (t.substr(1) == "fast" || t.substr(1) == "local_header" || t.substr(1) == "showall" ||
            t.substr(1) == "export_mvs" || t.substr(1) == "skip_manual" || t.substr(1) == "ass_ro_flush_noop")
          restText += t;
      if (!restText.empty()) emit(l.line, "flags2", restText);
    } else if (n == "me_method") {
      emit(l.line, n, v == "full" ? "esa" : v == "epzs" ? "dia" : v);
    } else if (n == "rc_lookahead") emit(l.line, "rc-lookahead", v);
    else if (n == "aq_mode") emit(l.line, "aq-mode", v);
    else if (n == "aq_strength") emit(l.line, "aq-strength", v);
    else if (n == "psy_rd") { psyRd = v; psyRdSet = true; }
    else if (n == "psy_trellis") { psyTrellis = v; psyRdSet = true; }
    else if (n == "cqp") emit(l.line, "qp", v);
    else if (n == "deblockalpha") { deblockAlpha = v; deblockSet = true; }
    else if (n == "deblockbeta") { deblockBeta = v; deblockSet = true; }
    else if (n == "complexityblur") emit(l.line, "cplxblur", v);
    else if (n == "nr") emit(l.line, "noise_reduction", v);
    else if (n == "me_threshold" || n == "mb_threshold") continue;  // gone from the encoder
    else emit(l.line, n, v);
  }

  auto state = [&emit](const std::string& name, const std::string& value) { emit(name + "=" + value, name, value); };
  state("coder", coder);
  state("bf", bf);
  state("refs", refs);
  state("trellis", trellis);
  state("cmp", chroma ? "+chroma" : "0");
  std::string parts;
  const char* kPartNames[][2] = {{"parti4x4", "i4x4"}, {"parti8x8", "i8x8"}, {"partp4x4", "p4x4"},
                                 {"partp8x8", "p8x8"}, {"partb8x8", "b8x8"}};
  for (const auto& p : kPartNames)
    if (partitions[p[0]]) parts += (parts.empty() ? "" : ",") + std::string(p[1]);
  state("partitions", parts.empty() ? "none" : parts);
  state("8x8dct", flags2["dct8x8"] ? "1" : "0");
  state("weightb", flags2["wpred"] ? "1" : "0");
  state("b-pyramid", flags2["bpyramid"] ? "normal" : "none");
  state("mixed-refs", flags2["mixed_refs"] ? "1" : "0");
  state("fast-pskip", flags2["fastpskip"] ? "1" : "0");
  state("mbtree", flags2["mbtree"] ? "1" : "0");
  state("psy", flags2["psy"] ? "1" : "0");
  state("aud", flags2["aud"] ? "1" : "0");
  state("ssim", flags2["ssim"] ? "1" : "0");
  state("weightp", wpredp);
  state("direct-pred", directpred);
  if (psyRdSet) state("psy-rd", psyRd + ":" + psyTrellis);
  if (deblockSet) state("deblock", (deblockAlpha.empty() ? "0" : deblockAlpha) + ":" + (deblockBeta.empty() ? "0" : deblockBeta));
  if (!loop) state("x264-params", "no-deblock=1");
  return out;
}

}  // namespace zelvo
