// Module resolution hook that register.mjs installs: the bare name 'vorn'
// resolves to this package; every other name as usual.
const self = new URL('./index.mjs', import.meta.url).href;

export async function resolve(specifier, context, nextResolve) {
  if (specifier === 'vorn') return { url: self, shortCircuit: true };
  return nextResolve(specifier, context);
}
