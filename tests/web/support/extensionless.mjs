// A module resolve hook: @maplibre/mlt's files import each other without the
// ".js" that Node requires (they are written for bundlers); this adds it.
export async function resolve(specifier, context, next) {
  try {
    return await next(specifier, context);
  } catch (e) {
    if (e.code !== 'ERR_MODULE_NOT_FOUND' || !/^\.\.?\//.test(specifier)) throw e;
    return next(`${specifier}.js`, context);
  }
}
