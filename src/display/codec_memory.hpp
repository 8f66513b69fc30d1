// What FreeRDP's codecs hold, cut to what the session uses. The library makes every codec twice
// (a classic set for bitmap updates and a set for the graphics pipeline) and sizes the planar
// codec's work buffers for the whole desktop, zeroed up front: 18 bytes a pixel in each set,
// about 75 MiB of a 1080p session, for a codec servers use for small areas if at all. korvane
// keeps each planar context at the size of the largest planar bitmap it has been asked to decode,
// growing it just before a decode that needs more, and drops the codecs nothing will call.
#pragma once

#include <cstdint>
#include <mutex>

#include <freerdp/codecs.h>
#include <freerdp/freerdp.h>

namespace korvane {

// The two codec sets with a planar context: the classic one (bitmap updates, decoded on the
// library's main thread) and the graphics pipeline's (its channel thread).
enum class PlanarUser { bitmaps, pipeline };

// Swaps the context the library sized for the desktop for a small one. Called right after the
// library made or reset a codec set: post_connect, the pipeline's start and its graphics reset.
void planar_shrink(PlanarUser user, rdpCodecs* codecs);

// Makes the context big enough for a width x height bitmap. A classic decode runs under the
// returned lock, so that a shrink from the pipeline's thread cannot swap the context meanwhile; *ok
// is false when the bitmap is larger than the desktop (settings) or the context could not be made:
// the caller fails the decode, as the library would.
[[nodiscard]] std::unique_lock<std::mutex> planar_fit(PlanarUser user, rdpCodecs* codecs,
                                                      const rdpSettings* settings, uint32_t width,
                                                      uint32_t height, bool* ok);

// Wraps the renderer's bitmap decoder (call after gdi_init) so that compressed 32-bit bitmaps,
// the planar ones, find a context big enough, and trims the classic set: progressive, ClearCodec
// and H.264 come only through the graphics pipeline, which decodes with a set of its own.
void classic_codecs_trim(rdpContext* context);

// Trims the graphics pipeline's set (call after gdi_graphics_pipeline_init): its H.264 context
// is never used, each surface makes its own when H.264 comes; progressive and ClearCodec (5.4 MiB
// at 1080p, most of it zeroed tile buffers) wait for the first command that needs them.
void pipeline_codecs_trim(rdpCodecs* codecs);

// Makes the pipeline set's context for a surface command's codec if the trim dropped it (call on
// the graphics channel's thread before the renderer decodes). False when it could not be made:
// the caller fails the command, as the library would have failed the connection.
[[nodiscard]] bool pipeline_codec_ready(rdpCodecs* codecs, uint32_t codec_id);

}  // namespace korvane
