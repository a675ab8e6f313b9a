// A file built as the wide files must not be: whole for AVX2, with an inline function that the
// compiler keeps out of line. Its weak definition, which the linker could keep for every caller,
// is what cmake/check_wide_objects.cmake must refuse (test wide_objects_check).
namespace morvane::fixture {

[[gnu::noinline]] inline float half_of(int value) { return static_cast<float>(value) * 0.5f; }

float wide_half_of(int value) { return half_of(value); }

} // namespace morvane::fixture
