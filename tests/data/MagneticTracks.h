// Track strings of a standard bank card, start and end sentinels included,
// LRC left out (the head adds and checks it). Taken from the published
// example of L. Padilla, "Magnetic stripe examples: standard cards",
// http://www.gae.ucm.es/~padilla/extrawork/magexam1.html, with the digits the
// example leaves open ('X', '*') written as '0'. Each is the longest its track
// allows (ISO/IEC 7813 track 2: 40 characters, ISO/IEC 4909 track 3: 107,
// both counting the LRC).
#pragma once

namespace qd500::test::tracks {

inline constexpr char kTrack2[] = ";1234567890123445=99011200000000000000?";
inline constexpr char kTrack3[] =
    ";011234567890123445=7247241000000000000303000000040400099010=000000000000000000000000==1=0000000000000000?";

// The same without their sentinels, as digits the head reports between its
// header and the '?' that ends a field.
inline constexpr char kTrack2Digits[] = "1234567890123445=99011200000000000000";
inline constexpr char kTrack3Digits[] =
    "011234567890123445=7247241000000000000303000000040400099010=000000000000000000000000==1=0000000000000000";

}  // namespace qd500::test::tracks
