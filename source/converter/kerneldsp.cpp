#include "kerneldsp.h"

#include "converter/resampler.h"

KernelDsp::KernelDsp(QObject *parent)
    : QThread(parent)
    , resampler(std::make_unique<Resampler>())
{ }

KernelDsp::~KernelDsp() = default;

int KernelDsp::setRates(double inRate, double outRate)
{
    return resampler->setRates(inRate, outRate);
}

int KernelDsp::setRatesLike(const KernelDsp &other)
{
    return resampler->setRatesLike(*other.resampler);
}

int KernelDsp::process(const Frame *in, int n, Frame *out, int *outCount)
{
    return resampler->process(in, out, n, outCount);
}

Frame *KernelDsp::input()
{
    return resampler->input();
}

int KernelDsp::processInput(int n, bool rounded, double gain, Frame *out, int *outCount)
{
    return resampler->processInput(n, rounded, gain, out, outCount);
}

long long KernelDsp::startAt(long long inputs, const Frame *recent)
{
    return resampler->startAt(inputs, recent);
}

long long KernelDsp::mostOutputsFor(long long n) const
{
    return resampler->mostOutputsFor(n);
}

const int KernelDsp::maxInputFrames = Resampler::maxInputFrames;
const int KernelDsp::maxOutputFrames = Resampler::maxOutputFrames;
