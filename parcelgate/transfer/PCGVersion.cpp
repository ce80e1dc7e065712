// Version of the transfer library; keeps the library non-empty while it grows.
namespace parcelgate {
extern const char* const TransferVersion = "1.0";
}
