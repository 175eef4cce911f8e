// The one place where the record conversions are instantiated.
#include "model/model_json.hpp"

namespace mellix::json {

#define MELLIX_MODEL_JSON_INSTANTIATE(T)                                                   \
  template std::expected<T, ReadError> read_value<T, FastValue>(const FastValue&, Source); \
  template std::expected<T, ReadError> read_value<T, ExactValue>(const ExactValue&, Source);
MELLIX_MODEL_JSON_INSTANTIATE(ContextSpec)
MELLIX_MODEL_JSON_INSTANTIATE(FeedMap)
MELLIX_MODEL_JSON_INSTANTIATE(MarketContext)
#undef MELLIX_MODEL_JSON_INSTANTIATE
template std::expected<ContextSpec, ReadError> read_value<ContextSpec, TextValue>(const TextValue&,
                                                                                  Source);

}  // namespace mellix::json
