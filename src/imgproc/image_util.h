// Lens undistortion of 8-bit images and speckle removal in 16-bit depth images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace orvane {

// Allocator whose value-less construction leaves elements uninitialised: map storage is written
// completely right after it is sized, so zero-filling it first would only cost time.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using MapVector = std::vector<float, UninitializedAllocator<float>>;

// Undistorts 8-bit interleaved images of one camera: the map from output pixels to source positions is
// computed once per object, then every Compute resamples a source image through it (bilinear).
class ImageUndistort {
  public:
    ImageUndistort() = default;
    // new_intrinsic may be null: the output keeps the source camera matrix then.
    ImageUndistort(const float* intrinsic9, const float* new_intrinsic9, const float* coefficients,
                   int coefficient_count, int src_width, int src_height, int dst_width, int dst_height);

    // Fills map_x and map_y unless map_x already holds a map. 0 on success; -1 (map left empty) when the
    // parameters cannot describe a map: intrinsic or new_intrinsic not 9 values, fewer than 4
    // coefficients, an output size that is not positive or whose pixel count does not fit in 32 bits.
    int CreateUndistortMap();

    // Creates the map if needed, then writes every output pixel. Strides are bytes per row.
    // 0 on success; -1 with the output untouched for a channel count outside 1..4, null images,
    // strides shorter than a row, a source larger than 2 GiB or a map that cannot be built.
    int Compute(const uint8_t* src, int src_stride, uint8_t* dst, int dst_stride, int channels);

    // Resamples through the map created earlier, without changing the object, so several threads may
    // share one object once its map exists. Same results as Compute; -1 also when there is no map
    // for the current output size.
    int Remap(const uint8_t* src, int src_stride, uint8_t* dst, int dst_stride, int channels) const;

    std::vector<float> distortion;     // k1, k2, p1, p2, k3, k4, k5, k6, s1, s2, s3, s4 (4, 8 or 12 used)
    std::vector<float> intrinsic;      // source camera matrix, 9 values row by row
    std::vector<float> new_intrinsic;  // output camera matrix, 9 values row by row
    int32_t src_width = 0;
    int32_t src_height = 0;
    int32_t dst_width = 0;
    int32_t dst_height = 0;
    MapVector map_x;  // source column per output pixel, row-major over the output
    MapVector map_y;  // source row per output pixel

  private:
    bool sizeMap();
    bool resamplingPossible(const uint8_t* src, int src_stride, const uint8_t* dst, int dst_stride,
                            int channels) const;
};

// A small, bounded, thread-safe store of undistortion maps, so that a video stream undistorted frame
// by frame with the same calibration computes its map once. Entries are matched on the exact bits of
// every parameter, so a cached map is always the one a fresh computation would give.
class UndistortMapCache {
  public:
    UndistortMapCache(size_t max_entries, size_t max_bytes);

    // An object with its map ready for these parameters (new_intrinsic9 may be null), computed on a
    // miss. Null when the map cannot be built. The object is immutable and may be used while other
    // threads use or evict it.
    std::shared_ptr<const ImageUndistort> acquire(const float* intrinsic9, const float* new_intrinsic9,
                                                  const float* coefficients12, int src_width, int src_height,
                                                  int dst_width, int dst_height);

    // Undistorts one image: through the cached map for these parameters, or computing the map (and
    // caching it) band by band while resampling. Same output as ImageUndistort::Compute; 0 or -1.
    int undistort(const float* intrinsic9, const float* new_intrinsic9, const float* coefficients12,
                  int src_width, int src_height, int dst_width, int dst_height, const uint8_t* src,
                  int src_stride, uint8_t* dst, int dst_stride, int channels);

    size_t entryCount() const;
    size_t byteCount() const;
    void clear();

    // The process-wide cache behind KVUndistortImage.
    static UndistortMapCache& shared();

  private:
    struct Key {
        uint32_t bits[30];  // intrinsic, new intrinsic, 12 coefficients
        int32_t sizes[4];
        bool operator==(const Key& other) const;
    };
    struct Entry {
        Key key;
        std::shared_ptr<ImageUndistort> undistort;
        size_t bytes;
    };

    struct SparePool;
    struct RecyclingDeleter;

    static Key makeKey(const float* intrinsic9, const float* new_intrinsic9, const float* coefficients12,
                       int src_width, int src_height, int dst_width, int dst_height);
    std::shared_ptr<const ImageUndistort> find(const Key& key);
    std::shared_ptr<ImageUndistort> makeEmpty(const float* intrinsic9, const float* new_intrinsic9,
                                              const float* coefficients12, int src_width, int src_height,
                                              int dst_width, int dst_height);
    std::shared_ptr<const ImageUndistort> insert(const Key& key, std::shared_ptr<ImageUndistort> fresh);

    const size_t max_entries_;
    const size_t max_bytes_;
    mutable std::mutex mutex_;
    std::list<Entry> entries_;  // most recently used first
    size_t bytes_ = 0;
    // Storage of one map that nobody uses any more, handed back by the last owner and kept for the
    // next miss: a stream whose calibration keeps changing then computes into memory already mapped.
    std::shared_ptr<SparePool> spare_;
};

// Invalidates every 4-connected region of valid pixels (pixels not equal to new_value; neighbours join
// when their values differ by at most max_diff) that has at most max_size pixels, in place. buffer is
// scratch memory kept by the caller between calls; it only grows.
// 0 on success (also when there is nothing to do); -1 with the image untouched when image is null,
// width or height exceeds 32767, or the scratch memory cannot be had.
int filterSpecklesImpl(int width, int height, uint16_t* image, int new_value, int max_size, int max_diff,
                       std::vector<uint8_t>& buffer);

class ImageSpeckleFilter {
  public:
    // Filters the height x width depth image in place; does nothing unless speckle_max_size and
    // speckle_max_diff are both positive. Returns filterSpecklesImpl's result, or 0 when switched off.
    int Compute(int width, int height, uint16_t* image);

    int32_t speckle_new_value = 0;
    int32_t speckle_max_size = 150;
    int32_t speckle_max_diff = 64;
    std::vector<uint8_t> speckle_buffer;
};

// Largest width or height the speckle filter accepts.
constexpr int kSpeckleMaxDimension = 32767;

}  // namespace orvane
