// The magnetic head, tracks 2 and 3: reads, writes and the head's setting,
// each one exchange of short ESC sequences (not the contact unit's frames)
// on the reader's port, within its response time-out.
#pragma once

#include <cstdint>

#include "reader/CardReader.h"

namespace qd500 {

constexpr int kMaxTrackChars = CComPort::kRecvCapacity;

enum class TrackSet { Two, Three, Both };

struct TrackAnswer {
    Stage stage = Stage::NotOpen;  // Answered: the head answered, with or without its header
    bool header = false;           // ESC 's' found
    bool unreadable2 = false;
    bool unreadable3 = false;
    // The texts up to their end mark. Of a single-track read only the
    // readable track's text is taken; of both, track 2's text runs up to the
    // separator even when it was unreadable, and track 3's is taken only
    // when readable.
    char track2[kMaxTrackChars + 1] = {};
    char track3[kMaxTrackChars + 1] = {};
};

// Waits for a swipe; a head that does not answer, or answers without its
// header, is told to stop waiting.
TrackAnswer ReadTracks(CardReader& reader, TrackSet tracks);

struct WriteAnswer {
    Stage stage = Stage::NotOpen;  // Refused: the write frame would not fit 256 bytes
    bool written = false;          // the head's last byte said so
};

// The write frame of the texts fits the head's 256-byte command buffer.
bool WriteFrameFits(const char* track2, const char* track3);

// Writes track 2 (when given) and track 3 (when given) in one write frame;
// mode 1 sends ESC 'B' '4' first.
WriteAnswer WriteTracks(CardReader& reader, const char* track2, const char* track3, int mode);

enum class SettingAnswer { Accepted, Rejected, Cut };  // Cut: the answer ended after ESC '%'

struct HeadSetting {
    Stage stage = Stage::NotOpen;  // Answered: something came back
    SettingAnswer answer = SettingAnswer::Rejected;
};

// The setting letters the head knows, in their order.
constexpr char kHeadSettingLetters[] = "ABCDKRZ";
// The letter as the head is sent it: one of the above; anything else selects 'A'.
char SettingLetter(char code);
HeadSetting SetHead(CardReader& reader, char letter);

}  // namespace qd500
