// QV_SOUNDPLAYER: the four short sounds of the program (WAVE data compiled
// into the program as Qt resources). A sound starts at once and returns
// without waiting; a sound started while another plays replaces it. Nothing
// plays while the player is disabled (the sound setting is not 1) or when the
// machine has no audio output.
//
// Process-wide: getSoundPlayer() creates it on first use, destroySoundPlayer()
// deletes it. Main (event-loop) thread only.
#pragma once

#include <QObject>
#include <memory>

class QSoundEffect;
class QWidget;

class QV_SOUNDPLAYER {
public:
    // Resource numbers of the four sounds.
    static constexpr int kLinkDown = 139;
    static constexpr int kUserConnectable = 140;
    static constexpr int kLinkUp = 141;
    static constexpr int kUserNotConnectable = 142;

    void setWindow(QWidget* owner) { window = owner; }
    void setEnabled(int value) { enabled = value; }
    int isEnabled() const { return enabled; }

    void playLinkUpSound() { play(kLinkUp); }
    void playLinkDownSound() { play(kLinkDown); }
    void playUserConnectableSound() { play(kUserConnectable); }
    void playUserNotConnectableSound() { play(kUserNotConnectable); }

    // The resource of the last sound asked for while enabled, and how many
    // such requests there were (whether or not a device played them).
    int getLastSound() const { return lastSound; }
    int getPlayCount() const { return playCount; }
    // The Qt resource path of a sound number; empty for an unknown one.
    static const char* resourcePath(int sound);

    QV_SOUNDPLAYER();
    ~QV_SOUNDPLAYER();

private:
    void play(int sound);

    QWidget* window = nullptr;
    int enabled = 1;
    int lastSound = 0;
    int playCount = 0;
    std::unique_ptr<QSoundEffect> effect;  // made on the first sound played
};

QV_SOUNDPLAYER* getSoundPlayer();
void destroySoundPlayer();
