// Fixed host and user keys for the SSH unit tests (made once with OpenSSL; test data only).
#pragma once

namespace tarnwick::testing {

inline constexpr const char* kRsaN =
    "ed40d95def826c187630e868e13be89a4829b43d79ba509627a4b50e6da833c388696d3965678f1cd294ea005f12fc"
    "cb6148c71cf3d59ee8add38f6b7ec374b9bdd8a72ee56790bbc7d11138548c4fe420bf01260cef3e01c27ce58fe1f8"
    "da9e4fcaacae6cd50611cb27d4ac08bab6085f75990189facb191e735b54b0ce8881";
inline constexpr const char* kRsaE = "10001";
inline constexpr const char* kRsaD =
    "874abfa96d7736250ce0fee72fe975cee4efc3347b41dfca8078d0369619a0cb13f2eab21c3d5dc2d5e2cd3dc0f996"
    "e673678903dd9827b20fcde0af2fee4d94b4a8b970064abefffddb24f481a1155d0a194a3265c28693045e15d9de04"
    "b55e4924ab302d3f696b99d4c5e45c950696b0c6a147f9a48feef022a0605b8a2f41";
inline constexpr const char* kRsaP =
    "fb57ace0a5bf0671f5878e47cff03b3f23f156923b962835b8819c903b61ed2a0a8929e7e6de5be291e70b151c7a23"
    "85cd4f91904a29ce923e4748ec523244e5";
inline constexpr const char* kRsaQ =
    "f1a656567877a63ec5f68641e0fe040d85dedf221471da45f31f4d1be6b73c90bfe1014dc4855fc5b5ebe04be95d9f"
    "47cd44e51e971c145e52aab64b9292376d";
inline constexpr const char* kRsaDmp1 =
    "34f0a6ad3abc1db36b2ffe3c0a0463b64cefcc7848acbc1374a57840b9014b5f0b91108e940649fc531703329328f6"
    "ca7c10426ccdf2385c7d59ae767869b631";
inline constexpr const char* kRsaDmq1 =
    "4db7362b27212bd922678f741e7cf326ba381c40e49c5d1b83fe3c194e10fe2c7b594cc70afdedf832f2c23707bd71"
    "5d7139c80a17851353e6783a9a816ffedd";
inline constexpr const char* kRsaIqmp =
    "d283d04412fe42c1c6e7dd83ead26aaf2e2b17b27e9657d765d2e06a137e94d6115bf286ccaa986687f91eb5d71f1e"
    "2342e2915222aebf3d81072310b13c3df6";
inline constexpr const char* kDsaP =
    "8f23851b4990835dcc71dc883751447fb0bf387d9c5fb43a0e19d281e18cae090129423eea7abf19fa62fd4aedab0c"
    "c980cae44f5fbe40557cd5b581e237d779cc65f73811d602d8275c35fd9c0b96717f199f03fd0f56a4cdda8b362d56"
    "4d2a4469bf1c52ab277b115259a510a15c5ab28ac26814af44d5c7f9292d1d8f2b9b";
inline constexpr const char* kDsaQ = "c18a1e7a17e38c7234a8baf42bfec8f803b13dc3";
inline constexpr const char* kDsaG =
    "531334e2214cee5f476061871fcc6c58e5384a794186c3791c97378b7f89ba1338fd1845e0665a219f60cb5102adad"
    "2a32fa501dc85bb05aad0f583684c288a2b7f093ab19708d26f0d767ad46d9c27292c5eb823f537b403a88a8b618b8"
    "6a9c8b1b7b9d3add084df8088d52da2ad7752ebac8f118d57c2532fe4b035a2d4ef5";
inline constexpr const char* kDsaY =
    "3d2cdc85eec66c26fef39a08edadb86d04b0ba799c17fc2125c6a0f6fa69445a6260153342f0aa67dc715ca1c9832e"
    "b20a4a0b2dd6f46e8d5c605db718b3ee8fbb37c45067d6a441eadf92a20c909f95cf49a7ecd0dceeb75c12696b7415"
    "dbf0522c599e7695abf9ba6c0be1df228491b7b0ef7cc03e142031cb9331e702a419";
inline constexpr const char* kDsaX = "a0cc32ec8cbd6d5932d87b326d3e4e758ccb71ab";
// A second RSA key (no CRT numbers: signing takes the plain path).
inline constexpr const char* kRsa2N =
    "a7a78c4a1431260825b49e283b99e7d004d0f821c7b2be530670a51b82de0e719e8731ceb3d8b3ecafa4de90ffe933"
    "069ba6cfedc604cfa0674a26d8fb62fa3ece8f8349eafa6d284dad438abf264377c7562dc44fc6df659be023bf6207"
    "da430304ae7235c644b5ad1772822b514ed7c0d2ac07f5bdac5768b4346f446f177b";
inline constexpr const char* kRsa2E = "10001";
inline constexpr const char* kRsa2D =
    "602fe06d1fe892c959d8a664aecd3e123ab129ab37c7752a6d277392b5227166fe6cd246a5284f121c339afdd5d515"
    "51553bff4f8bac76f2b04ffab9c280a6d133acc693340bd372025c945acaa49623dbc3a2a2d7310915753325cf906f"
    "3653a86198a18682cf330f552097cf80dd03942d1a82afb761632378b69d7ba20e01";

}  // namespace tarnwick::testing
