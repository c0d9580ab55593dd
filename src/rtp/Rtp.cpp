// PLACEHOLDER: replaced by the RTP session library.
namespace tandem::rtp {}
