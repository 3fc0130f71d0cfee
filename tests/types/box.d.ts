// The box's library, typed by the file it serves beside it, as README's
// "Web apps" shows an app declaring it.
declare module "http://box:9010/tirnserial.js" {
  export const TirnSerial: typeof import("../../src/server/page/tirnserial").TirnSerial;
  export type TirnSerial = import("../../src/server/page/tirnserial").TirnSerial;
  export type Scan = import("../../src/server/page/tirnserial").Scan;
}
