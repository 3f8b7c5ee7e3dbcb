#include "ui/sound_player.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>
#include <cstdio>

namespace {

QV_SOUNDPLAYER* instance = nullptr;

}  // namespace

QV_SOUNDPLAYER* getSoundPlayer()
{
    if (!instance)
        instance = new QV_SOUNDPLAYER;
    return instance;
}

void destroySoundPlayer()
{
    delete instance;
    instance = nullptr;
}

QV_SOUNDPLAYER::QV_SOUNDPLAYER() = default;
QV_SOUNDPLAYER::~QV_SOUNDPLAYER() = default;

const char* QV_SOUNDPLAYER::resourcePath(int sound)
{
    switch (sound) {
        case kLinkDown:
            return ":/res/linkdown.wav";
        case kUserConnectable:
            return ":/res/connectable.wav";
        case kLinkUp:
            return ":/res/linkup.wav";
        case kUserNotConnectable:
            return ":/res/notconnectable.wav";
        default:
            return "";
    }
}

void QV_SOUNDPLAYER::play(int sound)
{
    if (enabled != 1)
        return;
    lastSound = sound;
    ++playCount;
    std::printf("QV_SOUNDPLAYER::play() %d\n", sound);
    // Without an output device QSoundEffect would only complain; stay silent.
    if (QMediaDevices::audioOutputs().isEmpty())
        return;
    if (!effect)
        effect = std::make_unique<QSoundEffect>();
    effect->stop();
    effect->setSource(QUrl(QString::fromLatin1("qrc") + QString::fromLatin1(resourcePath(sound))));
    effect->play();
}
