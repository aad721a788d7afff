#include "test_media.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <numbers>
#include <random>

#include "media/handles.h"
#include "media/library_loader.h"
#include "media/unicode_io.h"
#include "media/utils.h"

#ifndef ZELVO_FIXTURE_DIR
#error "ZELVO_FIXTURE_DIR must name the folder generated fixtures go to"
#endif

namespace zelvo::test {

namespace {

namespace fs = std::filesystem;

std::string LibraryErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (lib::avutil.av_strerror(code, text, sizeof text) < 0) return Format("error %d", code);
  return text;
}

// The formats the tone can be written in, best first; the encoder's own list
// decides which one is used.
AVSampleFormat PickSampleFormat(const AVCodec* codec) {
  static const AVSampleFormat kWritable[] = {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_S16,  AV_SAMPLE_FMT_S16P,
                                             AV_SAMPLE_FMT_FLT,  AV_SAMPLE_FMT_S32P, AV_SAMPLE_FMT_S32};
  for (AVSampleFormat wanted : kWritable) {
    if (!codec->sample_fmts) return wanted;
    for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
      if (*f == wanted) return wanted;
  }
  return AV_SAMPLE_FMT_NONE;
}

// A gradient that drifts with time and a bright square crossing the picture,
// so that consecutive frames differ (motion search and rate control see work).
void FillPattern(AVFrame* frame, std::int64_t index) {
  const int w = frame->width, h = frame->height;
  const int t = static_cast<int>(index);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
    for (int x = 0; x < w; ++x) row[x] = static_cast<std::uint8_t>(16 + (x + y + 3 * t) % 200);
  }
  const int side = h / 5 > 0 ? h / 5 : 1;
  const int span = w - side > 0 ? w - side : 1;
  const int sx = (t * 6) % span, sy = (h - side) / 2;
  for (int y = sy; y < sy + side && y < h; ++y)
    for (int x = sx; x < sx + side && x < w; ++x)
      frame->data[0][static_cast<std::ptrdiff_t>(y) * frame->linesize[0] + x] = 235;
  for (int y = 0; y < (h + 1) / 2; ++y) {
    std::uint8_t* cb = frame->data[1] + static_cast<std::ptrdiff_t>(y) * frame->linesize[1];
    std::uint8_t* cr = frame->data[2] + static_cast<std::ptrdiff_t>(y) * frame->linesize[2];
    for (int x = 0; x < (w + 1) / 2; ++x) {
      cb[x] = static_cast<std::uint8_t>(64 + (x * 128) / ((w + 1) / 2));
      cr[x] = static_cast<std::uint8_t>(64 + ((y + t) * 128 / ((h + 1) / 2)) % 128);
    }
  }
}

// A 440 Hz tone, a fifth higher on every further channel.
void FillTone(AVFrame* frame, std::int64_t firstSample) {
  const int channels = frame->ch_layout.nb_channels;
  const auto format = static_cast<AVSampleFormat>(frame->format);
  for (int c = 0; c < channels; ++c) {
    const double hz = 440.0 * std::pow(1.5, c);
    for (int i = 0; i < frame->nb_samples; ++i) {
      const double v =
          0.3 * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(firstSample + i) / frame->sample_rate);
      const int packed = i * channels + c;
      switch (format) {
        case AV_SAMPLE_FMT_FLTP: reinterpret_cast<float*>(frame->data[c])[i] = static_cast<float>(v); break;
        case AV_SAMPLE_FMT_FLT: reinterpret_cast<float*>(frame->data[0])[packed] = static_cast<float>(v); break;
        case AV_SAMPLE_FMT_S16P:
          reinterpret_cast<std::int16_t*>(frame->data[c])[i] = static_cast<std::int16_t>(v * 32767);
          break;
        case AV_SAMPLE_FMT_S16:
          reinterpret_cast<std::int16_t*>(frame->data[0])[packed] = static_cast<std::int16_t>(v * 32767);
          break;
        case AV_SAMPLE_FMT_S32P:
          reinterpret_cast<std::int32_t*>(frame->data[c])[i] = static_cast<std::int32_t>(v * 2147483647.0);
          break;
        case AV_SAMPLE_FMT_S32:
          reinterpret_cast<std::int32_t*>(frame->data[0])[packed] = static_cast<std::int32_t>(v * 2147483647.0);
          break;
        default: return;
      }
    }
  }
}

void SetTags(AVDictionary** metadata, const std::vector<std::pair<std::string, std::string>>& tags) {
  for (const auto& [key, value] : tags) lib::avutil.av_dict_set(metadata, key.c_str(), value.c_str(), 0);
}

// One encoded stream of the clip being written.
struct OutStream {
  AVStream* st = nullptr;
  CodecContextPtr enc;
  FramePtr frame;
  std::int64_t next = 0;     // pts of the next frame in the encoder's time base
  std::int64_t total = 0;    // frames (video) or samples (audio) to write
  int frameSize = 0;         // audio samples per frame
  bool partialLast = false;  // the encoder takes a short last audio frame
  bool flushed = false;
};

class ClipWriter {
 public:
  explicit ClipWriter(const ClipOptions& o) : o_(o) {}

  ~ClipWriter() {
    // The byte stream is closed before the context that refers to it is
    // freed; the encoders and frames (members) go after both.
    if (oc_ && ownsPb_) lib::avformat.avio_closep(&oc_->pb);
    oc_.reset();
    io_.reset();
  }

  bool Write(std::string& error) {
    bool ok = Run();
    if (!ok) error = o_.path + ": " + error_;
    return ok;
  }

 private:
  bool Fail(const std::string& what, int code = 0) {
    error_ = code != 0 ? what + ": " + LibraryErrorText(code) : what;
    return false;
  }

  bool Run() {
    AVFormatContext* oc = nullptr;
    int ret = lib::avformat.avformat_alloc_output_context2(
        &oc, nullptr, o_.format.empty() ? nullptr : o_.format.c_str(), o_.path.c_str());
    if (ret < 0 || !oc) return Fail("no muxer for this name", ret);
    oc_.reset(oc);
    if (!packet_) return Fail("cannot allocate a packet", AVERROR(ENOMEM));

    if (!o_.videoCodec.empty() && !AddVideo()) return false;
    if (!o_.audioCodec.empty() && !AddAudio()) return false;
    if (oc_->nb_streams == 0) return Fail("the clip has neither video nor audio");
    SetTags(&oc_->metadata, o_.containerTags);
    if (o_.twoPrograms && !AddPrograms()) return false;

    if (!(oc_->oformat->flags & AVFMT_NOFILE)) {
      const std::string name = LibraryFileNameOf(o_.path);
      ret = OpenOutputFile(oc_.get(), name, io_);
      if (ret < 0) return Fail("cannot create the file", ret);
      ownsPb_ = !io_;
    }
    ret = lib::avformat.avformat_write_header(oc_.get(), nullptr);
    if (ret < 0) return Fail("writing the header failed", ret);

    // Feed the streams in presentation order so the muxer's interleaving
    // queue stays short.
    for (;;) {
      OutStream* s = nullptr;
      for (OutStream* c : {&video_, &audio_}) {
        if (!c->enc || c->flushed) continue;
        if (!s || lib::avutil.av_compare_ts(c->next, c->enc->time_base, s->next, s->enc->time_base) < 0) s = c;
      }
      if (!s) break;
      if (!(s == &video_ ? SendVideo() : SendAudio())) return false;
    }
    ret = lib::avformat.av_write_trailer(oc_.get());
    if (ret < 0) return Fail("writing the trailer failed", ret);
    return true;
  }

  bool OpenEncoder(OutStream& s, const AVCodec* codec) {
    if (oc_->oformat->flags & AVFMT_GLOBALHEADER) s.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int ret = lib::avcodec.avcodec_open2(s.enc.get(), codec, nullptr);
    if (ret < 0) return Fail(std::string("cannot open encoder ") + codec->name, ret);
    s.st = lib::avformat.avformat_new_stream(oc_.get(), nullptr);
    if (!s.st) return Fail("cannot add a stream", AVERROR(ENOMEM));
    ret = lib::avcodec.avcodec_parameters_from_context(s.st->codecpar, s.enc.get());
    if (ret < 0) return Fail("cannot copy the encoder's parameters", ret);
    s.st->time_base = s.enc->time_base;  // a hint; the muxer may choose another
    s.frame.reset(lib::avutil.av_frame_alloc());
    if (!s.frame) return Fail("cannot allocate a frame", AVERROR(ENOMEM));
    return true;
  }

  bool AddVideo() {
    const AVCodec* codec = lib::avcodec.avcodec_find_encoder_by_name(o_.videoCodec.c_str());
    if (!codec) return Fail("no video encoder " + o_.videoCodec);
    video_.enc.reset(lib::avcodec.avcodec_alloc_context3(codec));
    if (!video_.enc) return Fail("cannot allocate the video encoder", AVERROR(ENOMEM));
    AVCodecContext* c = video_.enc.get();
    c->width = o_.width;
    c->height = o_.height;
    c->time_base = AVRational{o_.fpsDen, o_.fpsNum};
    c->framerate = AVRational{o_.fpsNum, o_.fpsDen};
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->gop_size = 12;
    c->bit_rate = o_.videoBitRate;
    c->thread_count = 1;
    if (o_.videoCodec == "libx264") lib::avutil.av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    if (!OpenEncoder(video_, codec)) return false;
    video_.st->avg_frame_rate = c->framerate;
    SetTags(&video_.st->metadata, o_.videoTags);
    video_.total = std::llround(o_.seconds * o_.fpsNum / o_.fpsDen);
    AVFrame* f = video_.frame.get();
    f->format = c->pix_fmt;
    f->width = c->width;
    f->height = c->height;
    int ret = lib::avutil.av_frame_get_buffer(f, 0);
    return ret < 0 ? Fail("cannot allocate a picture", ret) : true;
  }

  bool AddAudio() {
    const AVCodec* codec = lib::avcodec.avcodec_find_encoder_by_name(o_.audioCodec.c_str());
    if (!codec) return Fail("no audio encoder " + o_.audioCodec);
    audio_.enc.reset(lib::avcodec.avcodec_alloc_context3(codec));
    if (!audio_.enc) return Fail("cannot allocate the audio encoder", AVERROR(ENOMEM));
    AVCodecContext* c = audio_.enc.get();
    c->sample_fmt = PickSampleFormat(codec);
    if (c->sample_fmt == AV_SAMPLE_FMT_NONE)
      return Fail("no sample format the tone can be written in for " + o_.audioCodec);
    c->sample_rate = o_.sampleRate;
    lib::avutil.av_channel_layout_default(&c->ch_layout, o_.channels);
    c->time_base = AVRational{1, o_.sampleRate};
    if (lib::avcodec.av_get_exact_bits_per_sample(codec->id) == 0) c->bit_rate = o_.audioBitRate;
    if (!OpenEncoder(audio_, codec)) return false;
    SetTags(&audio_.st->metadata, o_.audioTags);
    audio_.total = std::llround(o_.seconds * o_.sampleRate);
    audio_.partialLast =
        (codec->capabilities & (AV_CODEC_CAP_VARIABLE_FRAME_SIZE | AV_CODEC_CAP_SMALL_LAST_FRAME)) != 0;
    // PCM encoders take any frame size and report none.
    audio_.frameSize =
        (c->frame_size > 0 && !(codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) ? c->frame_size : 1024;
    AVFrame* f = audio_.frame.get();
    f->format = c->sample_fmt;
    f->sample_rate = c->sample_rate;
    f->nb_samples = audio_.frameSize;
    int ret = lib::avutil.av_channel_layout_copy(&f->ch_layout, &c->ch_layout);
    if (ret < 0) return Fail("cannot copy the channel layout", ret);
    ret = lib::avutil.av_frame_get_buffer(f, 0);
    return ret < 0 ? Fail("cannot allocate a sound buffer", ret) : true;
  }

  bool AddPrograms() {
    if (!video_.st || !audio_.st) return Fail("two programs need both a video and an audio stream");
    const struct {
      int id;
      AVStream* st;
      const std::string& name;
    } kPrograms[] = {{1, video_.st, o_.videoServiceName}, {2, audio_.st, o_.audioServiceName}};
    for (const auto& p : kPrograms) {
      AVProgram* program = lib::avformat.av_new_program(oc_.get(), p.id);
      if (!program) return Fail("cannot add a program", AVERROR(ENOMEM));
      lib::avformat.av_program_add_stream_index(oc_.get(), p.id, static_cast<unsigned>(p.st->index));
      lib::avutil.av_dict_set(&program->metadata, "service_provider", o_.serviceProvider.c_str(), 0);
      lib::avutil.av_dict_set(&program->metadata, "service_name", p.name.c_str(), 0);
    }
    return true;
  }

  bool SendVideo() {
    if (video_.next >= video_.total) return Encode(video_, nullptr);
    AVFrame* f = video_.frame.get();
    int ret = lib::avutil.av_frame_make_writable(f);
    if (ret < 0) return Fail("the picture cannot be made writable", ret);
    FillPattern(f, video_.next);
    f->pts = video_.next++;
    return Encode(video_, f);
  }

  bool SendAudio() {
    AVFrame* f = audio_.frame.get();
    const std::int64_t left = audio_.total - audio_.next;
    if (left <= 0) return Encode(audio_, nullptr);
    // Only the last frame may be short, and only for encoders that take one;
    // the others get a full frame, the tone running on past the end.
    f->nb_samples = audio_.partialLast && left < audio_.frameSize ? static_cast<int>(left) : audio_.frameSize;
    int ret = lib::avutil.av_frame_make_writable(f);
    if (ret < 0) return Fail("the sound buffer cannot be made writable", ret);
    FillTone(f, audio_.next);
    f->pts = audio_.next;
    audio_.next += f->nb_samples;
    return Encode(audio_, f);
  }

  bool Encode(OutStream& s, AVFrame* frame) {
    int ret = lib::avcodec.avcodec_send_frame(s.enc.get(), frame);
    if (ret < 0) return Fail("the encoder refused a frame", ret);
    if (!frame) s.flushed = true;
    for (;;) {
      ret = lib::avcodec.avcodec_receive_packet(s.enc.get(), packet_.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
      if (ret < 0) return Fail("encoding failed", ret);
      // The stream's time base is the muxer's choice, final after the header.
      lib::avcodec.av_packet_rescale_ts(packet_.get(), s.enc->time_base, s.st->time_base);
      packet_->stream_index = s.st->index;
      ret = lib::avformat.av_interleaved_write_frame(oc_.get(), packet_.get());
      if (ret < 0) return Fail("writing a packet failed", ret);
    }
  }

  const ClipOptions& o_;
  std::string error_;
  std::unique_ptr<UnicodeFile> io_;
  FormatContextPtr oc_;
  bool ownsPb_ = false;
  OutStream video_, audio_;
  PacketPtr packet_{lib::avcodec.av_packet_alloc()};
};

std::mutex g_libraryLock;

bool EnsureLibraries(std::string& error) {
  std::lock_guard<std::mutex> guard(g_libraryLock);
  // Checked on every call: another test of the same process may have
  // unloaded the set.
  if (IsMediaLibraryLoaded(kPlayerLibraries)) return true;
  return LoadMediaLibraries("", kPlayerLibraries, error);
}

// Every fixture is written under a name of its own process and then renamed
// into place, so test processes running side by side never read a file
// another one is still writing.
std::string PartName(const std::string& path) {
  fs::path p(path);
  return (p.parent_path() / (".part-" + std::to_string(::getpid()) + "-" + p.filename().string())).string();
}

bool WriteBytes(const std::string& path, const std::string& bytes, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    if (error) *error = path + ": cannot write the file";
    return false;
  }
  return true;
}

struct Fixture {
  std::once_flag once;
  std::string path;
  std::string error;  // set when generation failed
};

// Generates a fixture once per process; make writes the file it is given.
const std::string& Provide(Fixture& f, const char* name,
                           const std::function<bool(const std::string&, std::string&)>& make) {
  std::call_once(f.once, [&] {
    f.path = FixtureDir() + "/" + name;
    std::string error;
    if (!EnsureLibraries(error)) {
      f.error = "media libraries: " + error;
      return;
    }
    const std::string part = PartName(f.path);
    std::error_code ec;
    if (!make(part, error)) {
      f.error = error.empty() ? f.path + ": generation failed" : error;
      fs::remove(part, ec);
      return;
    }
    fs::rename(part, f.path, ec);
    if (ec) {
      f.error = f.path + ": " + ec.message();
      fs::remove(part, ec);
    }
  });
  if (!f.error.empty()) ADD_FAILURE() << f.error;
  return f.path;
}

// A clip with the standard options, changed by edit, written to the part name.
std::function<bool(const std::string&, std::string&)> Clip(const std::string& format,
                                                           const std::function<void(ClipOptions&)>& edit = {}) {
  return [format, edit](const std::string& part, std::string& error) {
    ClipOptions o;
    o.path = part;
    o.format = format;  // the part name's extension does not tell
    if (edit) edit(o);
    return WriteClip(o, &error);
  };
}

}  // namespace

void LoadMediaLibrariesForTests() {
  std::string error;
  if (!EnsureLibraries(error)) FAIL() << "cannot load the media libraries: " << error;
}

std::string FixtureDir() {
  static const std::string dir = [] {
    std::error_code ec;
    fs::create_directories(ZELVO_FIXTURE_DIR, ec);
    return std::string(ZELVO_FIXTURE_DIR);
  }();
  return dir;
}

bool WriteClip(const ClipOptions& options, std::string* error) {
  std::string message;
  bool ok;
  {
    ClipWriter writer(options);
    ok = writer.Write(message);
  }
  if (!ok) {
    std::error_code ec;
    fs::remove(fs::path(options.path), ec);
    if (error) *error = message;
  }
  return ok;
}

const std::string& VideoAudioMp4() {
  static Fixture f;
  return Provide(f, "video-audio.mp4", Clip("mp4"));
}

const std::string& AudioOnlyMp3() {
  static Fixture f;
  return Provide(f, "audio-only.mp3", Clip("mp3", [](ClipOptions& o) {
                   o.videoCodec.clear();
                   o.audioCodec = "libmp3lame";
                 }));
}

const std::string& AudioOnlyWav() {
  static Fixture f;
  return Provide(f, "audio-only.wav", Clip("wav", [](ClipOptions& o) {
                   o.videoCodec.clear();
                   o.audioCodec = "pcm_s16le";
                 }));
}

const std::string& H264Clip() {
  static Fixture f;
  return Provide(f, "h264-aac.mp4", Clip("mp4", [](ClipOptions& o) {
                   o.videoCodec = "libx264";
                   o.width = 640;
                   o.height = 360;
                 }));
}

const std::string& TwoProgramTs() {
  static Fixture f;
  return Provide(f, "two-programs.ts", Clip("mpegts", [](ClipOptions& o) {
                   o.twoPrograms = true;
                   o.audioTags = {{"language", "eng"}};
                 }));
}

const std::string& TaggedFile() {
  static Fixture f;
  return Provide(f, "tagged.mkv", Clip("matroska", [](ClipOptions& o) {
                   o.containerTags = {{"title", "Zelvo Tagged Clip"},   {"artist", "Zelvo Test Artist"},
                                      {"comment", "synthetic fixture"}, {"date", "2021-05-06"},
                                      {"TCOM", "Zelvo Composer"},       {"TPUB", "Zelvo Publisher"},
                                      {"TSOA", "Zelvo Album Sort"}};
                   o.videoTags = {{"language", "eng"}, {"title", "Main Picture"}};
                   o.audioTags = {{"language", "eng"}};
                 }));
}

const std::string& NonAsciiNamedFile() {
  static Fixture f;
  // The part name keeps the characters, so writing goes through the
  // program's own I/O as reading later does.
  return Provide(f, "clip-é-日本.mp4", Clip("mp4"));
}

const std::string& ZeroByteFile() {
  static Fixture f;
  return Provide(f, "zero-bytes.mp4",
                 [](const std::string& part, std::string& error) { return WriteBytes(part, "", &error); });
}

const std::string& TruncatedFile() {
  static Fixture f;
  return Provide(f, "truncated.mp4", [](const std::string& part, std::string& error) {
    // Without faststart the index (moov) follows the data, so the first part
    // of the file holds samples but no index.
    const std::string whole = part + ".whole";
    if (!Clip("mp4")(whole, error)) return false;
    std::ifstream in(whole, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::error_code ec;
    fs::remove(whole, ec);
    bytes.resize(bytes.size() * 2 / 5);
    return WriteBytes(part, bytes, &error);
  });
}

const std::string& RandomBytesFile() {
  static Fixture f;
  return Provide(f, "random-bytes.bin", [](const std::string& part, std::string& error) {
    std::mt19937 generator(20240613u);  // fixed seed: the same bytes in every run
    std::string bytes(64 * 1024, '\0');
    for (char& b : bytes) b = static_cast<char>(generator() & 0xff);
    return WriteBytes(part, bytes, &error);
  });
}

DecodedFacts DecodeFile(const std::string& path) {
  DecodedFacts facts;
  OpenedInput in;
  FormatContextPtr ctx(lib::avformat.avformat_alloc_context());
  if (OpenInputFile(std::move(ctx), LibraryFileNameOf(path), nullptr, nullptr, in) < 0 ||
      lib::avformat.avformat_find_stream_info(in.ctx.get(), nullptr) < 0) {
    facts.decodeErrors = -1;
    return facts;
  }
  std::vector<CodecContextPtr> decoders(in.ctx->nb_streams);
  for (unsigned i = 0; i < in.ctx->nb_streams; ++i) {
    const AVCodec* c = lib::avcodec.avcodec_find_decoder(in.ctx->streams[i]->codecpar->codec_id);
    if (!c) continue;
    decoders[i].reset(lib::avcodec.avcodec_alloc_context3(c));
    lib::avcodec.avcodec_parameters_to_context(decoders[i].get(), in.ctx->streams[i]->codecpar);
    decoders[i]->pkt_timebase = in.ctx->streams[i]->time_base;
    lib::avcodec.avcodec_open2(decoders[i].get(), c, nullptr);
  }
  PacketPtr pkt(lib::avcodec.av_packet_alloc());
  FramePtr frame(lib::avutil.av_frame_alloc());
  auto drain = [&](AVCodecContext* dec) {
    while (lib::avcodec.avcodec_receive_frame(dec, frame.get()) >= 0) {
      if (dec->codec_type == AVMEDIA_TYPE_VIDEO) {
        ++facts.videoFrames;
        facts.width = frame->width;
        facts.height = frame->height;
      } else if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
        facts.audioSamples += frame->nb_samples;
        if (frame->format == AV_SAMPLE_FMT_S16) {
          auto* s = reinterpret_cast<const std::int16_t*>(frame->data[0]);
          facts.samples.insert(facts.samples.end(), s, s + frame->nb_samples * frame->ch_layout.nb_channels);
        }
      }
      lib::avutil.av_frame_unref(frame.get());
    }
  };
  while (lib::avformat.av_read_frame(in.ctx.get(), pkt.get()) >= 0) {
    AVCodecContext* dec = decoders[static_cast<size_t>(pkt->stream_index)].get();
    if (dec) {
      if (lib::avcodec.avcodec_send_packet(dec, pkt.get()) < 0) ++facts.decodeErrors;
      drain(dec);
    }
    lib::avcodec.av_packet_unref(pkt.get());
  }
  for (unsigned i = 0; i < decoders.size(); ++i)
    if (decoders[i]) {
      lib::avcodec.avcodec_send_packet(decoders[i].get(), nullptr);
      drain(decoders[i].get());
    }
  return facts;
}


std::string FreshTestFolder(const std::string& group) {
  const fs::path dir = fs::path(FixtureDir()) / group / ::testing::UnitTest::GetInstance()->current_test_info()->name();
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

}  // namespace zelvo::test
